// kvbdemo: writes the demo database the console starts on when it is given
// none: a new .kvb file with a small table of towns (with memo notes) and a
// larger table of generated orders to scroll through.
//
//   kvbdemo FILE.kvb
//
// An existing file is never touched. Exit status 0 on success, 1 on failure,
// 2 on a wrong command line.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "components/kivo_table.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace {

using kivo::TKivoTable;

struct Town {
  const char* name;
  const char* county;
  std::int32_t people;
  double area;
  const char* note;
};

// Sample figures for the demo, rounded.
constexpr Town kTowns[] = {
    {"Budapest", "Budapest", 1700000, 525.2, "A főváros, a Duna két partján."},
    {"Debrecen", "Hajdú-Bihar", 200000, 461.7, "Az Alföld legnagyobb városa."},
    {"Szeged", "Csongrád-Csanád", 160000, 281.0, "A Tisza partján, napfényes város."},
    {"Miskolc", "Borsod-Abaúj-Zemplén", 150000, 236.7, "A Bükk lábánál."},
    {"Pécs", "Baranya", 140000, 162.6, "A Mecsek déli lejtőin."},
    {"Győr", "Győr-Moson-Sopron", 130000, 174.6, "Három folyó találkozásánál."},
    {"Nyíregyháza", "Szabolcs-Szatmár-Bereg", 115000, 274.5, ""},
    {"Kecskemét", "Bács-Kiskun", 110000, 321.4, "Hírös város."},
    {"Székesfehérvár", "Fejér", 95000, 170.9, "Koronázó város."},
    {"Szombathely", "Vas", 77000, 97.5, ""},
    {"Szolnok", "Jász-Nagykun-Szolnok", 70000, 187.3, "A Zagyva és a Tisza összefolyásánál."},
    {"Tatabánya", "Komárom-Esztergom", 65000, 91.4, ""},
    {"Kaposvár", "Somogy", 60000, 113.6, "Dombok között."},
    {"Érd", "Pest", 70000, 60.5, ""},
    {"Veszprém", "Veszprém", 58000, 126.9, "A királynék városa."},
    {"Békéscsaba", "Békés", 58000, 193.9, ""},
    {"Zalaegerszeg", "Zala", 56000, 102.4, ""},
    {"Sopron", "Győr-Moson-Sopron", 63000, 169.0, "A hűség városa."},
    {"Eger", "Heves", 52000, 92.2, "Vára és borai híresek."},
    {"Nagykanizsa", "Zala", 46000, 148.4, ""},
};

constexpr const char* kProducts[] = {"alma", "körte",   "szilva", "barack", "meggy",
                                     "dió",  "mogyoró", "szőlő",  "eper",   "málna"};

// Texts are stored in the engine's code page.
std::string Ansi(const char* utf8) { return kivo::Utf8ToCp1250(utf8); }

void CreateTowns(const std::string& file) {
  TKivoTable t;
  t.SetDatabaseFileName(file);
  t.SetTableName("varosok");
  // An index per field, so that the grid sorts by any column title.
  t.SetAutoIndexes(true);
  t.FieldDefs().Add("nev", kivo::ftString, 30, true);
  t.FieldDefs().Add("megye", kivo::ftString, 30);
  t.FieldDefs().Add("lakosok", kivo::ftInteger);
  t.FieldDefs().Add("terulet", kivo::ftFloat);
  t.FieldDefs().Add("leiras", kivo::ftMemo);
  t.CreateTable();
  t.Open();
  for (const Town& town : kTowns) {
    t.Append();
    t.FieldByName("nev").SetAsString(Ansi(town.name));
    t.FieldByName("megye").SetAsString(Ansi(town.county));
    t.FieldByName("lakosok").SetAsInteger(town.people);
    t.FieldByName("terulet").SetAsFloat(town.area);
    if (*town.note != '\0') t.FieldByName("leiras").SetAsString(Ansi(town.note));
    t.Post();
  }
  t.Close();
}

void CreateOrders(const std::string& file, std::int32_t rows) {
  TKivoTable t;
  t.SetDatabaseFileName(file);
  t.SetTableName("rendelesek");
  t.SetAutoIndexes(true);
  t.FieldDefs().Add("varos", kivo::ftString, 30);
  t.FieldDefs().Add("termek", kivo::ftString, 20);
  t.FieldDefs().Add("mennyiseg", kivo::ftInteger);
  t.FieldDefs().Add("egysegar", kivo::ftCurrency);
  t.FieldDefs().Add("datum", kivo::ftDate);
  t.CreateTable();
  t.Open();
  // A fixed sequence, so that every demo database holds the same rows.
  std::uint32_t seed = 12345;
  const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFF; };
  const auto towns = static_cast<std::uint32_t>(std::size(kTowns));
  const auto products = static_cast<std::uint32_t>(std::size(kProducts));
  const double firstDay = 45658;  // 1 January 2025
  for (std::int32_t i = 0; i < rows; ++i) {
    t.Append();
    t.FieldByName("varos").SetAsString(Ansi(kTowns[next() % towns].name));
    t.FieldByName("termek").SetAsString(Ansi(kProducts[next() % products]));
    t.FieldByName("mennyiseg").SetAsInteger(static_cast<std::int32_t>(1 + next() % 50));
    t.FieldByName("egysegar").SetAsFloat(static_cast<double>(100 + next() % 900) / 2);
    t.FieldByName("datum").SetAsDateTime(firstDay + static_cast<double>(next() % 365));
    t.Post();
  }
  t.Close();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]).empty() || argv[1][0] == '-') {
    std::cerr << "usage: kvbdemo FILE.kvb\n"
                 "  writes a new demo database (tables varosok and rendelesek) to FILE.kvb\n";
    return 2;
  }
  const std::string file = argv[1];
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) {
    std::cerr << "kvbdemo: " << file << " exists already; it is left as it is\n";
    return 1;
  }
  try {
    CreateTowns(file);
    CreateOrders(file, 5000);
  } catch (const std::exception& e) {
    std::cerr << "kvbdemo: " << kivo::Cp1250ToUtf8(e.what()) << '\n';
    return 1;
  }
  return 0;
}
