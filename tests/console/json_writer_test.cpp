#include "console/json_writer.h"

#include <gtest/gtest.h>

// Strings come out as valid UTF-8 JSON whatever bytes they hold: quote, backslash and control bytes escaped,
// well-formed sequences kept, every byte of an ill-formed one replaced by U+FFFD.
TEST(JsonWriterTest, Strings) {
    const std::string bad = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"", "\"\""}, {"a\"b\\c/", "\"a\\\"b\\\\c/\""}, {"\n\t\r", "\"\\n\\t\\r\""},
        {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""}, {" ~", "\" ~\""},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xED\x9F\xBF\xC2\x80",
         "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xED\x9F\xBF\xC2\x80\""},
        {"\x80", "\"" + bad + "\""}, {"\xC0\xAF", "\"" + bad + bad + "\""}, {"\xC1\xBF", "\"" + bad + bad + "\""},
        {"\xE0\x9F\xBF", "\"" + bad + bad + bad + "\""}, {"\xED\xA0\x80", "\"" + bad + bad + bad + "\""},
        {"\xF0\x8F\xBF\xBF", "\"" + bad + bad + bad + bad + "\""}, {"\xF4\x90\x80\x80", "\"" + bad + bad + bad + bad + "\""},
        {"\xF5\x80", "\"" + bad + bad + "\""}, {"\xFF", "\"" + bad + "\""}, {"\xE2\x82", "\"" + bad + bad + "\""},
        {"\xC3\xA9\xC3", "\"\xC3\xA9" + bad + "\""}, {"\xE2(a", "\"" + bad + "(a\""},
    };
    for (const auto& [text, json] : cases) EXPECT_EQ(json_string(text), json) << text;

    json_writer w;
    w.begin_object();
    w.key("a");
    w.begin_array();
    w.number(4294967295u);
    w.boolean(true);
    w.boolean(false);
    w.null();
    w.begin_object();
    w.end_object();
    w.begin_array();
    w.end_array();
    w.end_array();
    w.key("b\n");
    w.string("c");
    w.end_object();
    EXPECT_EQ(w.text(), "{\"a\":[4294967295,true,false,null,{},[]],\"b\\n\":\"c\"}\n");
}
