// modbus-map-csv: the Modbus slave's coil and holding-register map as CSV,
// one row per address that carries robot data, for SCADA and HMI tools.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "ModbusRegisterTable.h"
#include "ProjectVersion.h"

namespace {

using namespace VeloFramework::ModbusMap;

const char kUsage[] =
    "Usage: modbus-map-csv [--output FILE | --check FILE]\n"
    "\n"
    "Prints the Modbus TCP slave's map, one row per coil or holding register that\n"
    "carries robot data: address, table, content, monitoring-record field, bit,\n"
    "type, unit, scale, conversion, when it is written, whether a master may\n"
    "write it and what such a write does.\n"
    "\n"
    "  --output FILE   write the CSV to FILE instead of standard output\n"
    "  --check FILE    exit 1 (and say so) when FILE differs from the map\n"
    "  --help, --version\n";

std::string Format(const char* text, int value) {
  if (text == nullptr) return "";
  char buf[256];
  std::snprintf(buf, sizeof(buf), text, value);
  return buf;
}

std::string FormatName(const char* text, const char* name) {
  char buf[256];
  std::snprintf(buf, sizeof(buf), text, name);
  return buf;
}

// CSV field: quoted when it holds a comma or a quote.
std::string Field(const std::string& text) {
  if (text.find_first_of(",\"") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

const char* ConversionName(Conversion c) {
  switch (c) {
    case Conversion::kBit:
      return "bit";
    case Conversion::kWord:
      return "word";
    case Conversion::kTruncate:
      return "trunc";
    case Conversion::kRound:
      return "round";
    case Conversion::kRoundSingle:
      return "roundf";
    case Conversion::kTruncateThenScale:
      return "trunc_then_scale";
  }
  return "?";
}

std::string Csv() {
  std::ostringstream out;
  out << "address,table,content,field,bit,type,unit,scale,conversion,written,writable,"
         "write_effect\n";
  for (const MapEntry& e : kMapEntries) {
    for (int i = 0; i < e.count; ++i) {
      const int n = i + e.textBase;
      std::string field = e.field;
      if (e.indexed) field += "[" + std::to_string(i) + "]";
      const bool bit = e.conversion == Conversion::kBit;
      const char* unit = e.unitRot != nullptr && i >= 3 ? e.unitRot : e.unit;
      char scale[32];
      std::snprintf(scale, sizeof(scale), "%g", e.scale);
      out << e.first + i << ',' << (e.table == Table::kCoil ? "coil" : "holding_register") << ','
          << Field(e.names != nullptr ? FormatName(e.content, e.names[i]) : Format(e.content, n))
          << ',' << Field(field) << ',' << (bit ? std::to_string(e.firstBit + i) : "") << ','
          << e.type << ',' << Field(unit) << ',' << scale << ',' << ConversionName(e.conversion)
          << ',' << (e.refreshedAtStart ? "at start" : "every cycle") << ','
          << (e.writeEffect != nullptr ? "yes" : "no") << ',' << Field(Format(e.writeEffect, n))
          << '\n';
    }
  }
  return out.str();
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string csv = Csv();
  if (argc == 1) {
    std::fputs(csv.c_str(), stdout);
    return 0;
  }
  const std::string option = argv[1];
  if (option == "--help" || option == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (option == "--version") {
    PrintProjectVersion("modbus-map-csv");
    return 0;
  }
  if ((option == "--output" || option == "--check") && argc == 3) {
    const char* path = argv[2];
    if (option == "--output") {
      std::ofstream file(path, std::ios::binary);
      file << csv;
      if (!file.flush()) {
        std::fprintf(stderr, "modbus-map-csv: cannot write %s\n", path);
        return 1;
      }
      return 0;
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    if (!file || content.str() != csv) {
      std::fprintf(stderr,
                   "modbus-map-csv: %s is not the current map; rewrite it with\n"
                   "  cmake --build build --target modbus-map\n",
                   path);
      return 1;
    }
    return 0;
  }
  std::fprintf(stderr, "modbus-map-csv: bad arguments (see --help)\n");
  return 2;
}
