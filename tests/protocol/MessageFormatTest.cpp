#include <gtest/gtest.h>

#include <string>

#include "platform/ServerCodePage.h"
#include "support/TempDataFolder.h"
#include "protocol/uVelkoCommon.h"

namespace velko {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string Hex(const std::string& bytes) {
  static const char d[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(d[b >> 4]);
    out.push_back(d[b & 15]);
  }
  return out;
}

std::string EncodeOne(const TTag& tag, const std::wstring& value) {
  TTransactDataList list;
  list.Add(tag, value);
  return list.EncodedData();
}

TEST(TagTable, FindTagAcceptsRequestAndAnswerCodes) {
  EXPECT_EQ(TTransactDataList::FindTag("\x03"), &TagReceiptNumber);
  EXPECT_EQ(TTransactDataList::FindTag("\x83"), &TagReceiptNumber);
  EXPECT_EQ(TTransactDataList::FindTag("\x98"), &TagReferenceNumber);
  EXPECT_EQ(TTransactDataList::FindTag("\xC0"), &TagCardNumberEnc);
  EXPECT_EQ(TTransactDataList::FindTag("\x1B"), nullptr);  // request-only tags
  EXPECT_EQ(TTransactDataList::FindTag("\x11"), nullptr);
  EXPECT_EQ(TTransactDataList::FindTag(std::string_view("\x03\x00", 2)), nullptr);
  EXPECT_EQ(TTransactDataList::FindTag(""), nullptr);
}

TEST(Encoding, SaleRequestMatchesTheReferenceBytes) {
  TTransactDataList list;
  list.Add(TagCurrencyCode, L"643");
  list.Add(TagECRNumber, L"01");
  list.Add(TagReceiptNumber, L"0000000015");
  list.Add(TagOperationType, L"PUR");
  list.Add(TagAmount, L"000000012345");
  const std::string expected = Bytes({0x00, 0x28, 0x1B, 0x03, 0x36, 0x34, 0x33, 0x02, 0x02, 0x30,
                                      0x31, 0x03, 0x0A, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30,
                                      0x30, 0x31, 0x35, 0x01, 0x03, 0x50, 0x55, 0x52, 0x04, 0x0C,
                                      0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33,
                                      0x34, 0x35});
  ASSERT_EQ(expected.size(), 42u);
  EXPECT_EQ(Hex(list.EncodedData()), Hex(expected));
}

struct FitCase {
  const TTag* tag;
  std::wstring value;
  std::string expected;  // the field's bytes after code and length
};

TEST(Encoding, FixedFieldsAreCutOnTheRightAndPaddedInFront) {
  const FitCase cases[] = {
      {&TagInvoiceNumber, L"0000000123", "000000"},
      {&TagMerchantID, L"12345", "12"},
      {&TagECRNumber, L"7", "07"},
      {&TagOperationType, L"X", "  X"},
      {&TagServiceFunction, L"", std::string(1, '\0')},
      {&TagJournalQuery, L"\x00A4", Bytes({0, 0, 0xA4})},
      {&TagReceiptNumber, L"0000000015", "0000000015"},
  };
  for (const FitCase& c : cases) {
    const std::string msg = EncodeOne(*c.tag, c.value);
    ASSERT_GE(msg.size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(msg[3]), c.tag->DataLn) << TagCodeHex(*c.tag);
    EXPECT_EQ(Hex(msg.substr(4)), Hex(c.expected)) << TagCodeHex(*c.tag);
  }
}

TEST(Encoding, VariableFieldsAreSentWholeWithShortOrLongLength) {
  const std::string seventy = EncodeOne(TagCardNumberEnc, std::wstring(70, L'A'));
  EXPECT_EQ(Hex(seventy.substr(0, 4)), "00 48 C0 46");
  EXPECT_EQ(seventy.size(), 4u + 70);

  const std::string exact = EncodeOne(TagReceiptText, std::wstring(255, L'x'));
  EXPECT_EQ(Hex(exact.substr(0, 4)), "01 01 9C FF");

  const std::string longer = EncodeOne(TagReceiptText, std::wstring(300, L'x'));
  EXPECT_EQ(Hex(longer.substr(0, 6)), "01 30 9C 82 01 2C");
  EXPECT_EQ(longer.size(), 6u + 300);

  EXPECT_EQ(Hex(TTransactDataList().EncodedData()), "00 00");
}

TEST(Encoding, ValuesAndBodiesBeyondTheLengthFieldsAreRefusedNamingTheTag) {
  try {
    EncodeOne(TagReceiptText, std::wstring(65536, L'x'));
    FAIL() << "a 65536-byte value was encoded";
  } catch (const TMessageTooLong& e) {
    EXPECT_NE(std::string(e.what()).find("9C"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("65536"), std::string::npos) << e.what();
  }
  // The largest value that fits, alone, still makes a body too long.
  EXPECT_THROW(EncodeOne(TagReceiptText, std::wstring(65535, L'x')), TMessageTooLong);
  TTransactDataList list;
  list.Add(TagReceiptText, std::wstring(65535 - 4, L'x'));
  EXPECT_EQ(list.EncodedData().size(), 2u + 65535);
}

TEST(ListAccess, RepeatedTagsAreInsertedInFrontSoTheLatestIsRead) {
  TTransactDataList list;
  list.Add(TagResponseMessage, L"A");
  list.Add(TagApprove, L"N");
  list.Add(TagResponseMessage, L"B");
  EXPECT_EQ(list.GetTagData(TagResponseMessage), L"B");
  EXPECT_EQ(Hex(list.EncodedData()), "00 09 A0 01 42 A0 01 41 A1 01 4E");
  list.SetTagData(TagResponseMessage, L"C");
  list.SetTagData(TagAmount, L"5");
  EXPECT_EQ(list.GetTagData(TagResponseMessage), L"C");
  EXPECT_EQ(list.Fields().back().Tag, &TagAmount);
  EXPECT_EQ(list.GetTagData(TagReceiptText), L"");
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
}

TEST(Decoding, ShortAnswersAndEdgeCases) {
  struct Case {
    const char* name;
    std::string answer;
    size_t fields;
  };
  const Case cases[] = {
      {"empty", "", 0},
      {"one byte", Bytes({0x00}), 0},
      {"zero body", Bytes({0x00, 0x00, 0xA1, 0x01, 0x59}), 0},
      {"approve", Bytes({0x00, 0x03, 0xA1, 0x01, 0x59}), 1},
      {"last field is tag and length only", Bytes({0x00, 0x05, 0xA1, 0x01, 0x59, 0xA0, 0x00}), 1},
      {"tag alone at the end", Bytes({0x00, 0x04, 0xA1, 0x01, 0x59, 0xA0}), 1},
      {"body cut short keeps what came", Bytes({0x00, 0x10, 0xA1, 0x01, 0x59, 0xA0, 0x05, 0x41}), 2},
      {"long form incomplete drops the field",
       Bytes({0x00, 0x0A, 0xA1, 0x01, 0x59, 0x9C, 0x82, 0x01, 0x00, 0x41, 0x42, 0x43}), 1},
      {"bytes beyond the body ignored", Bytes({0x00, 0x03, 0xA1, 0x01, 0x59, 0xA0, 0x01, 0x41}), 1},
  };
  for (const Case& c : cases) {
    TTransactDataList list;
    list.Add(TagOperationType, L"PUR");  // decoding empties the list first
    list.DecodeAnswer(c.answer);
    EXPECT_EQ(list.Count(), c.fields) << c.name;
  }
  TTransactDataList list;
  list.DecodeAnswer(Bytes({0x00, 0x03, 0xA1, 0x01, 0x59}));
  EXPECT_TRUE(list.Approve());
  list.DecodeAnswer(Bytes({0x00, 0x10, 0xA1, 0x01, 0x59, 0xA0, 0x05, 0x41}));
  EXPECT_EQ(list.ResponseMessage(), L"A");
  list.DecodeAnswer(Bytes({0x00, 0x03, 0xA1, 0x01, 0x79}));
  EXPECT_FALSE(list.Approve());  // "y" is not approval
}

TEST(Decoding, UnknownAndTwoByteCodesAreSkippedWithTheirValues) {
  TTransactDataList list;
  list.DecodeAnswer(Bytes({0x00, 0x17,                    //
                           0x83, 0x02, 0x31, 0x32,        // receipt number, answer code
                           0x1F, 0xA1, 0x01, 0x59,        // two-byte code: skipped
                           0x7E, 0x02, 0x00, 0x00,        // unknown code: skipped
                           0x1B, 0x03, 0x36, 0x34, 0x33,  // request-only tag: skipped
                           0x03, 0x02, 0x33, 0x34}));     // receipt number, request code
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.GetTagData(TagReceiptNumber), L"34");  // the last occurrence comes first
  EXPECT_EQ(list.Fields()[1].Data, L"12");
  EXPECT_FALSE(list.Approve());
}

TEST(Decoding, LongLengthFormAndValuesKeptAsReceived) {
  std::string slip(300, 'a');
  std::string answer = Bytes({0x01, 0x34, 0x9C, 0x82, 0x01, 0x2C}) + slip + Bytes({0x9B, 0x02, 0x20, 0x30});
  TTransactDataList list;
  list.DecodeAnswer(answer);
  EXPECT_EQ(list.GetTagData(TagReceiptText).size(), 300u);
  EXPECT_EQ(list.ResponseCode(), L" 0");
  // Fewer than four bytes after the marker: the marker is an ordinary length.
  list.DecodeAnswer(Bytes({0x00, 0x04, 0x9C, 0x82, 0x41, 0x42}));
  EXPECT_EQ(list.GetTagData(TagReceiptText), L"AB");
}

TEST(Framing, LengthsAroundTheLongFormMarkerBothWays) {
  // 130 is the marker byte itself: sent in the long form, and a one-byte 130
  // from another writer is still read as a length when the long form would
  // overrun the body. Either way the fields after it survive.
  struct Case {
    size_t length;
    const char* header;  // code and length bytes as sent
  };
  const Case cases[] = {{127, "9C 7F"},       {128, "9C 80"},       {129, "9C 81"},
                        {130, "9C 82 00 82"}, {131, "9C 83"},       {255, "9C FF"},
                        {256, "9C 82 01 00"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const std::string slip(c.length, 'a');
    const std::vector<TRawField> sent = {{"\x9C", slip}, {"\xA1", "Y"}, {"\x9B", "00"}};
    const std::string message = EncodeFields(sent);
    const size_t header = (std::string(c.header).size() + 1) / 3;
    EXPECT_EQ(Hex(message.substr(2, header)), c.header);
    size_t read = 0;
    const std::vector<TRawField> got = SplitFields(message, &read);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].Value, slip);
    EXPECT_EQ(got[1].Value, "Y");
    EXPECT_EQ(got[2].Value, "00");
    EXPECT_EQ(read, message.size() - 2);

    if (c.length > 255) continue;
    // The same fields with the one-byte length, as a plain writer sends them.
    std::string body = Bytes({0x9C, static_cast<int>(c.length)}) + slip + Bytes({0xA1, 0x01, 0x59, 0x9B, 0x02}) + "00";
    const std::string plain = Bytes({static_cast<int>(body.size() >> 8), static_cast<int>(body.size() & 0xFF)}) + body;
    TTransactDataList list;
    list.DecodeAnswer(plain);
    EXPECT_EQ(list.GetTagData(TagReceiptText).size(), c.length);
    EXPECT_TRUE(list.Approve());
    EXPECT_EQ(list.ResponseCode(), L"00");
  }
  // A long form that fits wins over the one-byte reading of the marker.
  TTransactDataList list;
  list.DecodeAnswer(Bytes({0x00, 0x09, 0x9C, 0x82, 0x00, 0x02, 0x41, 0x42, 0xA1, 0x01}) + "Y");
  EXPECT_EQ(list.GetTagData(TagReceiptText), L"AB");
}

TEST(Decoding, EncodedAnswerDecodesToTheSameValues) {
  std::vector<TRawField> fields;
  for (PTTag tag : AnswerTags)
    fields.push_back({std::string(tag->OutCode), FitFieldValue(*tag, "12")});
  TTransactDataList list;
  list.DecodeAnswer(EncodeFields(fields));
  ASSERT_EQ(list.Count(), AnswerTags.size());
  for (size_t i = 0; i < AnswerTags.size(); ++i) EXPECT_EQ(list.Fields()[i].Tag, AnswerTags[i]);
}

TEST(ListAccess, TransactionAmountReadsTwelveDigitsAs64Bits) {
  struct Case {
    std::wstring text;
    int64_t currency;
  };
  const Case cases[] = {
      {L"000000012345", 1234500},
      {L"002147483648", 214748364800},  // beyond 32 bits: not 0
      {L"999999999999", 99999999999900},
      {L"   000000000100", 10000},
      {L"-100", -10000},
      {L"000000000100 ", 0},
      {L"", 0},
      {L"12a", 0},
      {L"+", 0},
      {L" ", 0},
      {L"99999999999999999999", 0},  // overflow
  };
  for (const Case& c : cases) {
    TTransactDataList list;
    list.Add(TagAmount, c.text);
    EXPECT_EQ(list.TransactionAmount(), c.currency) << c.text.size();
  }
  EXPECT_EQ(TTransactDataList().TransactionAmount(), 0);
}

TEST(ListAccess, OperationNamesAreExact) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"PUR", L"ПРОДАЖА"}, {L"VOI", L"ОТМЕНА"}, {L"REF", L"ВОЗВРАТ"},
      {L"SRV", L"СЕРВИСНАЯ ОПЕРАЦИЯ"}, {L"pur", L""}, {L"CMP", L""}, {L"PUR ", L""}};
  for (const auto& [op, name] : cases) {
    TTransactDataList list;
    list.Add(TagOperationType, op);
    EXPECT_EQ(list.StrOperationType(), name);
  }
}

TEST(ServerCodePage, AsciiAndRawBytesSurviveARoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(WideToServerCodePage(ServerCodePageToWide(all)), all);
  EXPECT_EQ(WideToServerCodePage(L"PUR 0123"), "PUR 0123");
}

TEST(ServerCodePage, CyrillicTravelsAsWindows1251) {
  if (WideToServerCodePage(L"Ж") != "\xC6")
    GTEST_SKIP() << "the server code page here is " << ServerCodePageName()
                 << ", not a Cyrillic one (Windows: the ANSI code page of the machine)";
  EXPECT_EQ(WideToServerCodePage(L"ОДОБРЕНО"), "\xCE\xC4\xCE\xC1\xD0\xC5\xCD\xCE");
  EXPECT_EQ(ServerCodePageToWide("\xD1\xF3\xEC\xEC\xE0"), L"Сумма");
  TTransactDataList list;
  list.Add(TagResponseMessage, L"Ёж");
  EXPECT_EQ(Hex(list.EncodedData()), "00 04 A0 02 A8 E6");
  list.DecodeAnswer(list.EncodedData());
  EXPECT_EQ(list.ResponseMessage(), L"Ёж");
}

TEST(ServerCodePage, UnmappableCharactersBecomeOneQuestionMarkEach) {
  const std::string bytes = WideToServerCodePage(L"a\u4E2Db");
  EXPECT_EQ(bytes, "a?b");
}

TEST(ServerCodePage, ByteFieldsTravelAsBytesWhateverTheCodePage) {
  // The server's code page set to UTF-8 (Windows reads the variable at every
  // conversion; POSIX once per process, so there this shows only that byte
  // fields do not go through the code page at all).
  testing::SetEnvVar(kServerCodePageVariable, "65001");
  TTransactDataList list;
  list.Add(TagServiceFunction, std::wstring(1, L'\x02'));
  list.Add(TagJournalQuery, std::wstring(L"\x00A4\0\0", 3));
  const std::string encoded = list.EncodedData();
#ifdef _WIN32
  const std::string utf8 = WideToServerCodePage(L"Ж");
#endif
  testing::SetEnvVar(kServerCodePageVariable, "");
  EXPECT_EQ(Hex(encoded), "00 08 1A 01 02 08 03 A4 00 00");
  list.DecodeAnswer(Bytes({0x00, 0x05, 0x88, 0x03, 0xA4, 0x00, 0x00}));
  EXPECT_EQ(list.GetTagData(TagJournalQuery), std::wstring(L"\x00A4\0\0", 3));
#ifdef _WIN32
  EXPECT_EQ(utf8, "\xD0\x96") << "the code page in force was UTF-8";
#endif
}

}  // namespace
}  // namespace velko
