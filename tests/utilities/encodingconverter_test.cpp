#include "qmkutils/utilities/encodingconverter.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "support/scoped_environment.h"

namespace {

using du::EncodingConverter;

struct Legacy {
  const char* name;
  std::string sample;   // UTF-8 text the encoding can hold
  std::string invalid;  // bytes the encoding refuses
  std::string cut;      // a multibyte character without its last byte
};

const Legacy kEncodings[] = {{"SJIS", "ｶﾀｶﾅ 傭日本語テキスト", "\x81\x20", "\x93"},
                             {"Big5", "體中文繁", "\xA4\x20", "\xA4"},
                             {"gb2312", "简体中文", "\xB0\x20", "\xB0"},
                             {"EUC-KR", "한국어", "\xB0\x20", "\xB0"},
                             {"KOI8-R", "Русский текст", "", ""},
                             {"iso_8859-1", "Français déjà vu, Ærø", "", ""}};

// What `converter` makes of `in`, or "false:" and what it left in `out`.
std::string Converted(EncodingConverter& converter, const std::string& in,
                      const char* replacement = nullptr) {
  std::string out = "(old)";
  return converter.Convert(in, out, replacement) ? out : "false:" + out;
}

TEST(EncodingConverterTest, DefaultConverterFollowsTheInterfaceLanguage) {
  qmk_test::ScopedEnvironment environment;
  const std::pair<const char*, const char*> table[] = {
      {"ja", "SJIS"},   {"tc", "Big5"},       {"zh_TW", "Big5"},
      {"sc", "gb2312"}, {"zh_CN", "gb2312"},  {"ko", "EUC-KR"},
      {"ru", "KOI8-R"}, {"de", "iso_8859-1"}, {"xx", "iso_8859-1"}};
  for (const auto& [language, encoding] : table) {
    environment.Set("QUILL_LANG", language);
    EXPECT_EQ(EncodingConverter::SystemDefault(), encoding) << language;
  }
  environment.Set("QUILL_LANG", "ja");
  EncodingConverter japanese;
  EXPECT_EQ(Converted(japanese, "\x93\xFA"), "日");
}

TEST(EncodingConverterTest, EveryLegacyEncodingRoundTripsAndRefusesBadInput) {
  for (const Legacy& encoding : kEncodings) {
    SCOPED_TRACE(encoding.name);
    EncodingConverter encoder(EncodingConverter::UTF8(), encoding.name);
    EncodingConverter decoder(encoding.name, EncodingConverter::UTF8());
    ASSERT_TRUE(encoder.IsGood() && decoder.IsGood());
    const std::string legacy = Converted(encoder, encoding.sample);
    EXPECT_NE(legacy, encoding.sample);
    EXPECT_EQ(Converted(decoder, legacy), encoding.sample);

    EXPECT_EQ(Converted(encoder, "a\360\237\230\200"), "false:(old)");
    EXPECT_EQ(Converted(encoder, "a\360\237\230\200b", "?"), "a?b");
    if (encoding.invalid.empty()) continue;
    const std::string padding(2000, 'x');
    for (const std::string& bad : {encoding.invalid + "z", padding + encoding.invalid + padding,
                                   "z" + encoding.cut, padding + encoding.cut}) {
      EXPECT_EQ(Converted(decoder, bad), "false:(old)") << bad.size();
      EXPECT_EQ(Converted(decoder, bad, "?"), "false:(old)") << "tolerant only from UTF-8";
    }
  }
}

TEST(EncodingConverterTest, ReplacementOnlyWhenTolerantOutKeptOnFailureAndShiftStateEnded) {
  EncodingConverter latin("UTF-8", "iso_8859-1");
  EXPECT_EQ(Converted(latin, "a\377bcdef", "?"), "a?ef") << "the lead byte tells the length";
  EXPECT_EQ(Converted(latin, "ab\xE3\x81", "?"), "ab?");
  EXPECT_EQ(Converted(latin, ""), "");
  EXPECT_EQ(Converted(latin, "", "?"), "false:(old)");

  EncodingConverter unknown("NO-SUCH-ENCODING", "UTF-8");
  EXPECT_FALSE(unknown.IsGood() || EncodingConverter("", "UTF-8").IsGood());
  EXPECT_EQ(Converted(unknown, "abc"), "false:(old)");

  EncodingConverter moved(std::move(latin));
  EXPECT_EQ(Converted(moved, "\xC3\xA9"), "\xE9");
  EXPECT_FALSE(latin.IsGood());  // NOLINT(bugprone-use-after-move): what a move leaves
  EXPECT_EQ(Converted(latin, "a"), "false:(old)");

  EncodingConverter jis("UTF-8", "ISO-2022-JP");  // ends in its initial state
  EXPECT_EQ(Converted(jis, "日"), "\x1B$BF|\x1B(B");
}

}  // namespace
