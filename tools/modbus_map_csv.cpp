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
    "carries robot data: 0-based and 1-based address, table, the function codes\n"
    "that read and write it, content, monitoring-record field, bit, type,\n"
    "signedness, unit, multiplier (engineering value = raw x multiplier), scale,\n"
    "conversion, when it is written, whether a master may write it, what such a\n"
    "write does and the values it carries.\n"
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

// The enumeration or range a row carries, for an HMI's value texts.
std::string Values(const MapEntry& e) {
  if (e.conversion == Conversion::kBit) return "0 = off, 1 = on";
  const std::string field = e.field;
  if (field.find(".type_info_") != std::string::npos)
    return "channel type: 0 or 1 (a write of any value but 0 selects 1)";
  if (field == "robot_state_info_") return "the controller's robot state code, passed through";
  if (std::string(e.unit) == "bit mask") return "bit n = channel n";
  return "";
}

std::string Csv() {
  std::ostringstream out;
  out << "address,address_1based,table,read_function,write_function,content,field,bit,type,"
         "signed,unit,multiplier,scale,conversion,written,writable,write_effect,values\n";
  for (const MapEntry& e : kMapEntries) {
    const bool coil = e.table == Table::kCoil;
    for (int i = 0; i < e.count; ++i) {
      const int n = i + e.textBase;
      std::string field = e.field;
      if (e.indexed) field += "[" + std::to_string(i) + "]";
      const bool bit = e.conversion == Conversion::kBit;
      const char* unit = e.unitRot != nullptr && i >= 3 ? e.unitRot : e.unit;
      // Tools scale as engineering value = raw x multiplier.
      char scale[32], multiplier[32];
      std::snprintf(scale, sizeof(scale), "%g", e.scale);
      std::snprintf(multiplier, sizeof(multiplier), "%g", 1.0 / e.scale);
      const bool writable = e.writeEffect != nullptr;
      out << e.first + i << ',' << e.first + i + 1 << ',' << (coil ? "coil" : "holding_register")
          << ',' << (coil ? "1" : "3") << ',' << (writable ? (coil ? "5" : "6") : "") << ','
          << Field(e.names != nullptr ? FormatName(e.content, e.names[i]) : Format(e.content, n))
          << ',' << Field(field) << ',' << (bit ? std::to_string(e.firstBit + i) : "") << ','
          << e.type << ',' << (std::string(e.type) == "int16" ? "yes" : "no") << ',' << Field(unit)
          << ',' << multiplier << ',' << scale << ',' << ConversionName(e.conversion) << ','
          << (e.refreshedAtStart ? "at start" : "every cycle") << ',' << (writable ? "yes" : "no")
          << ',' << Field(Format(e.writeEffect, n)) << ',' << Field(Values(e)) << '\n';
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
