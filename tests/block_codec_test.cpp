// The frames of the block protocol, built and taken apart without a line.

#include "link/block_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telvaro3::frame {
namespace {

using Shape = TextBlockParts::Shape;

TEST(BlockCodec, HeadingTextLaysOutNameCountAndFieldsAndReadsBack) {
  const struct {
    Heading heading;
    std::string text;
  } cases[] = {
      {{"SALES.DAT", 3, false, {"5", "10"}}, "SALES.DAT   00003020510"},
      {{"PROG.PD3", 0, true, {"5"}}, "PROG.PD3    00000"},  // no field part
      {{"ABCDEFGH.BHT", 32767, false, {"99"}}, "ABCDEFGH.BHT" + std::string("32767") + "0199"},
      {{"TOOLONGNAME.BHT", 123456, false, {"123"}}, "TOOLONGNAME." + std::string("23456") + "0123"},
      // Sixteen fields of length 01.
      {{"A", 7, false, std::vector<std::string>(16, "1")},
       "A           000071601010101010101010101010101010101"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(HeadingText(c.heading), c.text);
    const HeadingReader r(c.text);
    EXPECT_EQ(r.Name(), c.heading.name.substr(0, kNameWidth));
    EXPECT_EQ(r.RecordCount(), c.text.substr(kNameWidth, kCountWidth));
    if (c.heading.programFile) {
      EXPECT_EQ(r.Length(), kProgramHeadingLength);
      EXPECT_EQ(r.FieldCount(), "");
      continue;
    }
    const int fields = static_cast<int>(c.heading.fieldLengths.size());
    EXPECT_EQ(r.Length(), DataHeadingLength(fields));
    EXPECT_EQ(std::stoi(r.FieldCount()), fields);
    for (int i = 1; i <= fields; ++i) {
      const std::string& length = c.heading.fieldLengths[i - 1];
      EXPECT_EQ(std::stoi(r.FieldLength(i)), std::stoi(length) % 100) << i;
    }
    EXPECT_EQ(r.FieldLength(fields + 1), "");
  }
}

TEST(BlockCodec, HeadingReaderTakesBlanksOffTheNameAndReadsShortTextsAsEmpty) {
  EXPECT_EQ(HeadingReader("  A B.BHT   00001").Name(), "A B.BHT");
  EXPECT_EQ(HeadingReader("            00001").Name(), "");
  const HeadingReader shortText("ORDERS.BHT  0001");
  EXPECT_EQ(shortText.RecordCount(), "0001");
  EXPECT_EQ(shortText.FieldCount(), "");
  EXPECT_EQ(shortText.FieldLength(1), "");
  EXPECT_EQ(HeadingReader("ORDERS.BHT  00001020").FieldLength(1), "0");
  EXPECT_EQ(HeadingReader("ORDERS.BHT  00001020").FieldLength(0), "");
}

TEST(BlockCodec, TextBlocksAreBuiltAndTakenApartByTheLayout) {
  const TextBlockLayout full{3, true, true};    // STX serial(5) rec(3) ETX check = 11
  const TextBlockLayout bare{3, false, false};  // STX rec(3) ETX = 5
  const TextBlockLayout checkOnly{3, true, false};
  // The lengths and bodies themselves are read in every block the send and receive tests carry.
  const std::string stx = "\x02", etx = "\x03", body = "00001ABC" + etx;
  const std::string whole = stx + body + CheckCharacter(body);
  const struct {
    TextBlockLayout layout;
    std::string received;
    Shape shape;
    std::string serial, record;
  } cases[] = {
      {full, whole, Shape::kWhole, "00001", "ABC"},
      {full, "\x15\x15" + whole, Shape::kWhole, "00001", "ABC"},  // noise before the STX
      {full, stx + body, Shape::kCheckLost, "00001", "ABC"},
      {full, whole + "X", Shape::kTooLong, "", ""},
      {full, stx + "00001AB" + etx + "xy", Shape::kMisplacedEtx, "", ""},
      {full, stx + "00001ABCD" + etx, Shape::kMisplacedEtx, "", ""},
      {full, body + "x", Shape::kNone, "", ""},        // no STX
      {full, stx + "00001ABC", Shape::kNone, "", ""},  // no ETX
      {full, "", Shape::kNone, "", ""},
      {bare, stx + "ABC" + etx, Shape::kWhole, "", "ABC"},
      {bare, stx + "ABC" + etx + "x", Shape::kTooLong, "", ""},
      {checkOnly, stx + "ABC" + etx, Shape::kCheckLost, "", "ABC"},
      {checkOnly, stx + "A" + etx + "C" + etx + "x", Shape::kMisplacedEtx, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.received);
    const TextBlockParts parts = SplitTextBlock(c.layout, c.received);
    EXPECT_EQ(parts.shape, c.shape);
    EXPECT_EQ(parts.serial, c.serial);
    EXPECT_EQ(parts.record, c.record);
    if (c.shape == Shape::kWhole || c.shape == Shape::kCheckLost) {
      EXPECT_EQ(parts.afterStx, c.received.substr(c.received.find('\x02') + 1));
    }
  }
}

}  // namespace
}  // namespace telvaro3::frame
