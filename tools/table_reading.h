// kvbtool's view of the tables of a database: their headers as T.dat holds
// them, their rows, and the checks of a header against its file. Everything
// goes through the engine's own header routines and table manager, with
// every file opened read-only: nothing here writes to a table.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "engine/record_image.h"
#include "engine/table_header_check.h"
#include "storage/file_layer.h"

namespace kivo::tools {

// The headers of one T.dat as they are stored, and the layout they imply.
using TTableHeaderView = TTableHeaders;

// Reads and validates the headers of a T.dat with the engine's own reader,
// field names in messages in UTF-8; `datName` names the file in messages.
// Raises the engine's error for a damaged header.
TTableHeaderView ReadTableHeaderView(TAbstractFile& dat, const std::string& datName);

// Where the tables are and how their names and passwords are spelled.
struct TTableSource {
  std::string path;                 // the database, as given
  TAbstractPlainFileSystem& files;  // opened read-only
  bool ansiNames;                   // names in the engine's code page (containers)
  std::string password;             // a table's password, in the engine's code page
};

// Table names as stored, sorted.
std::vector<std::string> TableNames(const TTableSource& source);

// `kvbtool tables`: each table's header. Returns false when some table's
// header could not be read (each such table is reported in `out`).
bool WriteTables(const TTableSource& source, std::ostream& out);

// How `kvbtool dump` shows BLOB values.
struct TDumpOptions {
  bool hexBLOBs = false;  // binary values as "0x" and hex digits instead of their size
};

// `kvbtool dump`: a header line with the identifier's and the fields' names,
// then one comma-separated line per record in position order; nulls are
// empty, text is UTF-8, a cell with a comma, a quote or a line break is
// quoted with its quotes doubled. Memos show their text ("" when empty);
// other BLOB values show their size ("<N bytes>") or, with `hexBLOBs`,
// their bytes in hex. BLOB values are read one at a time, so memory stays
// within one value per row.
//
// Raises the engine's error when the table cannot be opened (missing,
// damaged, wrong password). A BLOB value that cannot be read shows as
// kDamagedBLOBCell and the row goes on; the result lists such values, one
// line each (at most a few, then a count), empty when every value was read.
std::vector<std::string> DumpTable(const TTableSource& source, const std::string& table,
                                   const TDumpOptions& options, std::ostream& out);

// The cell of a BLOB value that could not be read.
inline constexpr char kDamagedBLOBCell[] = "<damaged>";

// The BLOB part of `kvbtool check` for one table (nothing for tables
// without BLOB fields): T.bif must decompress and hold a directory that fits
// its image, of the table's BLOB field and record counts, whose parts lie
// inside the blocks of T.bdf, with no block owned twice and no free part
// over a used one. One line per problem. `journalled`, when given, is the
// T.bif a flush cut short was writing (from its journal), read instead.
std::vector<std::string> CheckBLOBFiles(TAbstractPlainFileSystem& files, const std::string& table,
                                        const TTableHeaderView& view,
                                        const std::vector<std::uint8_t>* journalled = nullptr);

// The table part of `kvbtool check`: one line per problem. Every header is
// checked against its T.dat length; tables the engine can open (encrypted
// ones only with a password) are read record by record as well.
std::vector<std::string> CheckTables(const TTableSource& source);

}  // namespace kivo::tools
