// SPDX-License-Identifier: MIT
// The configuration loader on real files, and the JSON member accessors.
#include "config.hpp"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <memory>

#include "harness.hpp"

namespace {

// The process table in short: names separated by blanks, "+" after a name
// whose heartbeat file is "/tmp/.uci//NAME.alive", "?PATH" for any other.
std::string table_of(const supervisor_state& state) {
  std::string out;
  for (int i = 0; i < state.proc_count && i < kMaxSlots; ++i) {
    const proc_slot& s = state.slots[i];
    std::string alive = s.alive_path, own = "/tmp/.uci//" + std::string(s.name) + ".alive";
    out += (i ? " " : "") + std::string(s.name) +
           (alive.empty()  ? ""
            : alive == own ? "+"
                           : "?" + alive);
  }
  return out;
}

int load(const std::string& dir, const char* text, supervisor_state& state) {
  const std::string path = dir + "/config";
  unlink(path.c_str());
  if (text) Sandbox::write(path, text);
  return load_watch_config(path.c_str(), state);
}

}  // namespace

TEST(Config, LoadsProcessTable) {
  struct {
    const char* text;  // null: no file
    int rc;
    const char* table;
  } cases[] = {
      {R"({"__WATCH":{"Processes":[{"BASE":"a","ExCheck":true}]}})", 0, "a+"},
      {R"({"__watch":{"processes":[{"base":"a"}]}} trailing text)", 0, "a"},
      {R"({"watch":{"processes":[{"base":"a"}]}})", 0, "korvan-dpi-inner"},
      {R"({"__watch":{"process":[{"base":"a"}]}})", 0, "korvan-dpi-inner"},
      {R"({"__watch":{"processes":[]}})", 0, "korvan-dpi-inner"},
      {R"({"__watch":{"processes":"a"}})", 0, "korvan-dpi-inner"},
      {R"({"__watch":{"processes":3}})", 0, "korvan-dpi-inner"},
      {R"({"__watch":"processes"})", 0, "korvan-dpi-inner"},
      {R"({"__watch":{"processes":{"x":{"base":"o"}}}})", 0, "o"},
      {R"({"__watch":{"processes":[{"base":"t","excheck":true},{"base":"n","excheck":1},)"
       R"({"base":"s","excheck":"true"},{"base":"f","excheck":false}]}})",
       0, "t+ n s f"},
      {R"({"__watch":{"processes":[{"base":"a","BASE":"b","excheck":false,"EXCHECK":true}]}})", 0,
       "a"},
      {R"({"__watch":{"processes":[{"base":"1"},{"base":"2"},{"base":"3"},{"base":"4"},)"
       R"({"base":5},{}]}})",
       0, "1 2 3 4"},
      {R"({"__watch":{"processes":[{"base":"a"},{"base":7}]}})", -1, ""},
      {R"({"__watch":{"processes":["a"]}})", -1, ""},
      {R"({"__watch":{"processes":[{"base":"a"})", -1, ""},
      {" \n\t ", -1, ""},
      {"", -1, ""},
      {nullptr, -1, ""}};
  Sandbox box;
  for (const auto& c : cases) {
    auto state = std::make_unique<supervisor_state>();
    const char* what = c.text ? c.text : "no file";
    ASSERT_EQ(load(box.root, c.text, *state), c.rc) << what;
    EXPECT_EQ(c.rc == 0 ? table_of(*state) : "", c.table) << what;
  }
  const std::string longest(5000, 'b');
  auto state = std::make_unique<supervisor_state>();
  const std::string text =
      R"({"__watch":{"processes":[{"base":")" + longest + R"(","excheck":true}]}})";
  ASSERT_EQ(load(box.root, text.c_str(), *state), 0);
  EXPECT_EQ(state->slots[0].name, longest.substr(0, 4095));
  EXPECT_EQ(state->slots[0].alive_path, ("/tmp/.uci//" + longest).substr(0, 4095));
}

TEST(Json, MemberAccessors) {
  json_ptr obj(cJSON_Parse(R"({"t":true,"f":false,"n":null,"s":"1","o":{"a":1},"a":[1],)"
                           R"("x":3.9,"neg":-3.9,"wrap":4294967297,"big":1e20,"small":-1e20,)"
                           R"("k":5,"K":6})"));
  ASSERT_TRUE(obj);
  struct {
    const char* key;
    int value;
  } ints[] = {{"t", 1},           {"f", 0},       {"n", 0},    {"s", 0},          {"o", 0},
              {"a", 0},           {"x", 3},       {"neg", -3}, {"wrap", INT_MAX}, {"big", INT_MAX},
              {"small", INT_MIN}, {"missing", 0}, {"K", 5}};  // the first of k and K wins
  for (const auto& c : ints) EXPECT_EQ(json_get_int(obj.get(), c.key), c.value) << c.key;
  for (const char* key : {"t", "f", "n", "o", "a", "x", "missing"})
    EXPECT_EQ(json_get_string(obj.get(), key), nullptr) << key;
  EXPECT_STREQ(json_get_string(obj.get(), "S"), "1");
  EXPECT_EQ(json_get_string(nullptr, "s"), nullptr);
  EXPECT_EQ(json_is_true(obj.get(), "T"), 1);
  for (const char* key : {"f", "s", "k", "missing"}) EXPECT_EQ(json_is_true(obj.get(), key), 0);
}
