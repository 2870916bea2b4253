// The .dat header and field headers byte for byte, in the current and the
// legacy layout, version detection, and the field-type and type-name tables.
// Expected bytes are built here from the documented layout, not by the writer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/field_types.h"
#include "engine/table_header.h"
#include "engine/table_test_support.h"
#include "platform/errors.h"

namespace kivo {
namespace {

using namespace testing;

// A version 4.5 header with two fields: "Name" STRING(20) required and
// "Qty" INTEGER, built from the offset table.
Bytes CurrentHeaderBytes() {
  Bytes b(284 + 2 * 267, 0);
  PutI32(b, 0, 77);
  PutStr(b, 4, "Ident");
  PutI32(b, 260, 2);
  PutI32(b, 264, 5);
  PutF64(b, 268, 4.5);
  b[276] = 0xF0;
  b[277] = 2;
  b[278] = 1;
  b[279] = 0x34;  // low byte of ChangeCount
  PutI32(b, 280, 0x1234);
  PutStr(b, 284, "Name");
  b[284 + 256] = 1;
  PutI32(b, 284 + 259, 21);
  b[284 + 263] = 1;
  PutStr(b, 284 + 267, "Qty");
  b[284 + 267 + 256] = 3;
  PutI32(b, 284 + 267 + 259, 4);
  return b;
}

TTableHeader CurrentHeader() {
  TTableHeader h;
  h.LastAutoInc = 77;
  h.IdFieldName = "Ident";
  h.FieldCount = 2;
  h.RecordCount = 5;
  h.Version = 4.5;
  h.IdFieldVisibility = 0xF0;
  h.BLOBCompression = 2;
  h.Encrypted = 1;
  h.ChangeCount = 0x1234;
  return h;
}

std::vector<TFieldHeader> TwoFields() {
  return {{"Name", ftString, 21, 1}, {"Qty", ftInteger, 4, 0}};
}

TEST(TableHeaderLayout, CurrentLayoutIsWrittenByteForByte) {
  EXPECT_EQ(EncodeTableHeaders(CurrentHeader(), TwoFields()), CurrentHeaderBytes());
}

TEST(TableHeaderLayout, CurrentLayoutReadsBack) {
  Bytes b = CurrentHeaderBytes();
  // Gaps and the uninterpreted bytes carry junk that must be ignored.
  b[284 + 257] = 0xAA;
  b[284 + 258] = 0xBB;
  b[284 + 264] = 0xCC;
  b[284 + 266] = 0xDD;
  double version = DetectTableVersion(b.data(), 284, static_cast<std::int64_t>(b.size()));
  EXPECT_EQ(version, 4.5);
  TTableHeader h = DecodeTableHeader(b.data(), b.size(), version);
  EXPECT_EQ(h.LastAutoInc, 77);
  EXPECT_EQ(h.IdFieldName, "Ident");
  EXPECT_EQ(h.FieldCount, 2);
  EXPECT_EQ(h.RecordCount, 5);
  EXPECT_EQ(h.Version, 4.5);
  EXPECT_EQ(h.IdFieldVisibility, 0xF0);
  EXPECT_EQ(h.BLOBCompression, 2);
  EXPECT_EQ(h.Encrypted, 1);
  EXPECT_EQ(h.ChangeCount, 0x1234);
  EXPECT_EQ(DecodeFieldHeader(b.data() + 284, 267, version), TwoFields()[0]);
  // The last header may lack its uninterpreted tail.
  EXPECT_EQ(DecodeFieldHeader(b.data() + 284 + 267, 264, version), TwoFields()[1]);
  EXPECT_THROW(DecodeFieldHeader(b.data() + 284 + 267, 263, version), Exception);
}

// Version 3.0 layout: 24-byte IdFieldName, gap, Version at 40; 21-byte names.
Bytes LegacyHeaderBytes() {
  Bytes b(56 + 32, 0);
  PutI32(b, 0, 9);
  PutStr(b, 4, "id12");
  PutI32(b, 28, 1);
  PutI32(b, 32, 3);
  PutF64(b, 40, 3.0);
  b[48] = 0xFC;
  b[49] = 0;
  b[50] = 0;
  b[51] = 7;
  PutI32(b, 52, 7);
  PutStr(b, 56, "Amount");
  b[56 + 21] = 6;
  PutI32(b, 56 + 24, 8);
  b[56 + 28] = 0;
  return b;
}

TEST(TableHeaderLayout, LegacyLayoutRoundTrips) {
  Bytes b = LegacyHeaderBytes();
  double version = DetectTableVersion(b.data(), b.size(), static_cast<std::int64_t>(b.size()));
  EXPECT_EQ(version, 3.0);
  EXPECT_TRUE(IsLegacyLayout(version));
  TTableHeader h = DecodeTableHeader(b.data(), b.size(), version);
  EXPECT_EQ(h.IdFieldName, "id12");
  EXPECT_EQ(h.FieldCount, 1);
  EXPECT_EQ(h.RecordCount, 3);
  EXPECT_EQ(h.IdFieldVisibility, 0xFC);
  EXPECT_EQ(h.ChangeCount, 7);
  TFieldHeader f = DecodeFieldHeader(b.data() + 56, 32, version);
  EXPECT_EQ(f, (TFieldHeader{"Amount", ftFloat, 8, 0}));
  EXPECT_EQ(EncodeTableHeaders(h, {f}), b);
  EXPECT_EQ(TableHeaderSizeOf(version), 56u);
  EXPECT_EQ(FieldHeaderSizeOf(version), 32u);
}

TEST(TableHeaderLayout, VersionDetection) {
  Bytes b(300, 0);
  // Nothing plausible at 40 or 268: the fallback 2.1.
  EXPECT_EQ(DetectTableVersion(b.data(), 284, 300), 2.1);
  PutF64(b, 268, 4.5);
  EXPECT_EQ(DetectTableVersion(b.data(), 284, 300), 4.5);
  // Offset 268 is consulted only for files longer than 272 bytes.
  EXPECT_EQ(DetectTableVersion(b.data(), 284, 272), 2.1);
  PutF64(b, 268, 4.6);
  EXPECT_EQ(DetectTableVersion(b.data(), 284, 300), 2.1);
  // A plausible value at 40 wins.
  PutF64(b, 40, 1.5);
  EXPECT_EQ(DetectTableVersion(b.data(), 284, 300), 1.5);
  PutF64(b, 40, 1.11);  // bounds are exclusive
  EXPECT_EQ(DetectTableVersion(b.data(), 284, 300), 2.1);
  // Too short to hold the version at all.
  EXPECT_THROW(DetectTableVersion(b.data(), 47, 47), Exception);
  EXPECT_THROW(DetectTableVersion(b.data(), 100, 300), Exception);
}

TEST(TableHeaderLayout, NamesAreCheckedAndCut) {
  Bytes b = CurrentHeaderBytes();
  b[284] = 255;  // the longest name a 256-byte field holds
  EXPECT_EQ(DecodeFieldHeader(b.data() + 284, 267, 4.5).FieldName.size(), 255u);
  Bytes legacy = LegacyHeaderBytes();
  legacy[4] = 24;  // longer than the 23 characters of a legacy IdFieldName
  EXPECT_THROW(DecodeTableHeader(legacy.data(), legacy.size(), 3.0), Exception);
  legacy = LegacyHeaderBytes();
  legacy[56] = 21;
  EXPECT_THROW(DecodeFieldHeader(legacy.data() + 56, 32, 3.0), Exception);
  // A legacy table cannot store a longer name: the writer cuts it.
  TTableHeader h;
  h.Version = 3.0;
  h.IdFieldName = std::string(30, 'x');
  Bytes out = EncodeTableHeaders(h, {{std::string(25, 'f'), ftInteger, 4, 0}});
  EXPECT_EQ(out[4], 23);
  EXPECT_EQ(out[56], 20);
}

TEST(TableHeaderLayout, VersionTexts) {
  EXPECT_EQ(VersionText(4.5), "4.5");
  EXPECT_EQ(VersionText(0.0), "0");
  EXPECT_EQ(VersionText(-2.25), "-2.25");
  EXPECT_EQ(VersionText2(4.5), "4.50");
  EXPECT_EQ(VersionText2(1.249), "1.25");
  EXPECT_EQ(CurrentVersionText(), "6.30 ");
}

TEST(FieldTypeTable, SlotSizes) {
  EXPECT_EQ(SlotSizeFor(ftString, 20), 21);
  EXPECT_EQ(SlotSizeFor(ftWideString, 20), 22);
  EXPECT_EQ(SlotSizeFor(ftBytes, 7), 7);
  EXPECT_EQ(SlotSizeFor(ftBytes, 0), std::nullopt);
  EXPECT_EQ(SlotSizeFor(ftString, 0), std::nullopt);
  EXPECT_EQ(SlotSizeFor(ftString, -5), std::nullopt);
  EXPECT_EQ(SlotSizeFor(ftString, 0x7FFFFFFF), std::nullopt);
  EXPECT_EQ(SlotSizeFor(ftBoolean, 99), 2);  // fixed types ignore the declared size
  EXPECT_EQ(SlotSizeFor(ftMemo, 100), 0);
  EXPECT_EQ(SlotSizeFor(ftAutoInc, 0), std::nullopt);
  for (int t : {0, 13, 19, 20, 21, 22, 23, 26, 255})
    EXPECT_EQ(StoredFieldType(static_cast<std::uint8_t>(t)), nullptr) << t;
  // Stored sizes must be exactly the slot of fixed types.
  EXPECT_TRUE(IsValidSlot(ftFloat, 8));
  EXPECT_FALSE(IsValidSlot(ftFloat, 4));
  EXPECT_FALSE(IsValidSlot(ftBlob, 8));
  EXPECT_FALSE(IsValidSlot(ftString, 1));
  EXPECT_FALSE(IsValidSlot(ftWideString, 2));
  EXPECT_EQ(DeclaredSizeOf(ftString, 21), 20);
  EXPECT_EQ(DeclaredSizeOf(ftWideString, 22), 20);
  EXPECT_EQ(DeclaredSizeOf(ftInteger, 4), 0);
}

TEST(FieldTypeTable, TypeNameTableOrder) {
  const char* expected[] = {"AUTOINC", "INTEGER",  "STRING",   "WIDESTRING", "DATE",
                            "TIME",    "DATETIME", "CURRENCY", "LOGICAL",    "MEMO",
                            "FMTMEMO", "GRAPHIC",  "BLOB",     "SMALLINT",   "WORD",
                            "FLOAT",   "BCD",      "BYTES",    "LARGEINT"};
  ASSERT_EQ(kTypeNameTable.size(), std::size(expected));
  for (std::size_t i = 0; i < kTypeNameTable.size(); ++i) {
    EXPECT_EQ(kTypeNameTable[i].Name, expected[i]);
    EXPECT_EQ(TypeOfSQLName(expected[i]), kTypeNameTable[i].Type);
  }
  EXPECT_EQ(TypeOfSQLName("logical"), ftBoolean);
  EXPECT_EQ(TypeOfSQLName("VARCHAR"), ftUnknown);
  EXPECT_EQ(SQLTypeName(ftBoolean), "LOGICAL");
  EXPECT_EQ(SQLTypeName(ftAutoInc), "AUTOINC");
  EXPECT_EQ(SQLTypeName(13), "");
}

}  // namespace
}  // namespace kivo
