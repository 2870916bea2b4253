#include "dataset/field_defs.h"

#include "platform/locale.h"

namespace kivo {

namespace {

template <typename Items>
int IndexOfName(const Items& items, const std::string& name) {
  for (std::size_t i = 0; i < items.size(); ++i)
    if (AnsiSameText(items[i].Name(), name)) return static_cast<int>(i);
  return -1;
}

}  // namespace

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType dataType, std::int32_t size,
                           bool required) {
  return Add(TFieldDef(name, dataType, size, required));
}

TFieldDef& TFieldDefs::Add(const TFieldDef& def) {
  items_.push_back(def);
  return items_.back();
}

int TFieldDefs::IndexOf(const std::string& name) const { return IndexOfName(items_, name); }

const TFieldDef* TFieldDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : &items_[static_cast<std::size_t>(i)];
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields,
                           TIndexOptions options) {
  return Add(TIndexDef(name, fields, options));
}

TIndexDef& TIndexDefs::Add(const TIndexDef& def) {
  items_.push_back(def);
  return items_.back();
}

int TIndexDefs::IndexOf(const std::string& name) const { return IndexOfName(items_, name); }

const TIndexDef* TIndexDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : &items_[static_cast<std::size_t>(i)];
}

std::vector<std::string> SplitFieldNames(const std::string& list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::size_t first = start;
    std::size_t last = end;
    while (first < last && static_cast<unsigned char>(list[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(list[last - 1]) <= ' ') --last;
    if (last > first) names.push_back(list.substr(first, last - first));
    start = end + 1;
  }
  return names;
}

std::vector<std::string> SplitNameList(const std::string& list) {
  std::vector<std::string> names;
  std::string current;
  auto flush = [&] {
    const auto first = current.find_first_not_of(" \t\r\n");
    if (first != std::string::npos)
      names.push_back(current.substr(first, current.find_last_not_of(" \t\r\n") - first + 1));
    current.clear();
  };
  for (char c : list) {
    if (c == ',' || c == ';')
      flush();
    else
      current += c;
  }
  flush();
  return names;
}

}  // namespace kivo
