// kore-sim extension for the Modbus TCP slave module: decodes the coil image
// (event 43) and the register image (event 44) the module sends every cycle,
// and sends request 110 (set a slave register).
//
// The images arrive about ten times a second. The coil image is printed when
// it changes; the register image when anything but the measured values
// changes (outputs, state, registers), and otherwise at most once a second
// while the arm moves, so the log stays readable.
// `modbus-show` prints the latest pair in full.
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KoreExtension.h"
#include "ModbusSlaveContract.h"
#include "Payload.h"

namespace {

namespace ModbusMap = VeloFramework::ModbusMap;
using VeloFramework::kModbusSetSlaveRegisterRequest;
using VeloFramework::ModbusMap::kCoilImageLength;
using VeloFramework::ModbusMap::kRegisterImageLength;
constexpr uint32_t kCoilImageEvent = VeloFramework::kModbusCoilImageEvent;
constexpr uint32_t kRegisterImageEvent = VeloFramework::kModbusRegisterImageEvent;

const char* const kStatusNames[6] = {"servo-on",     "emergency-stop",
                                     "safety-stop",  "direct-teaching-button",
                                     "power-button", "safety-stop-needs-recovery"};

// Word made of `count` coils starting at `first`, coil `first` as bit 0.
unsigned CoilWord(const std::vector<uint8_t>& coils, int first, int count) {
  unsigned word = 0;
  for (int b = 0; b < count; ++b) word |= (coils[first + b] ? 1u : 0u) << b;
  return word;
}

uint16_t Reg(const std::vector<uint8_t>& image, int r) {
  return static_cast<uint16_t>(image[2 * r] | (image[2 * r + 1] << 8));
}

int16_t SignedReg(const std::vector<uint8_t>& image, int r) {
  return static_cast<int16_t>(Reg(image, r));
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof(buf), fmt, args);
  va_end(args);
  return buf;
}

// Six registers from `first`, divided by `scale`, as "a b c d e f" and as a
// JSON array.
void Six(const std::vector<uint8_t>& image, int first, double scale, int decimals,
         std::string* text, std::string* json) {
  text->clear();
  *json = "[";
  for (int k = 0; k < 6; ++k) {
    const double v = SignedReg(image, first + k) / scale;
    *text += (k ? " " : "") + Format("%.*f", decimals, v);
    *json += (k ? "," : "") + Format("%.*f", decimals, v);
  }
  *json += "]";
}

std::string StatusText(unsigned bits, int count) {
  std::string out;
  for (int b = 0; b < count; ++b) {
    if (bits & (1u << b)) out += (out.empty() ? "" : ",") + std::string(kStatusNames[b]);
  }
  return out.empty() ? "none" : out;
}

std::string Binary(unsigned word, int bits) {
  std::string out;
  for (int b = bits - 1; b >= 0; --b) out += (word >> b) & 1 ? '1' : '0';
  return out;
}

class ModbusExtension : public kore::KoreExtension {
 public:
  std::string Name() const override { return "modbus"; }

  std::vector<kore::Command> Commands() override {
    return {
        {"modbus-set", "modbus-set ADDRESS VALUE",
         "send request 110: set slave register ADDRESS (2, 5, 7, 16..19, 22, 128..255) to VALUE",
         [](const kore::Args& args, kore::KoreContext& ctx) {
           long long address = 0, value = 0;
           std::string error = "usage: modbus-set ADDRESS VALUE (each 0..65535)";
           if (args.size() != 2 ||
               !kore::ParseNumberArg("modbus-set: address", args[0], 0, 0xFFFF, &address, &error) ||
               !kore::ParseNumberArg("modbus-set: value", args[1], 0, 0xFFFF, &value, &error)) {
             ctx.Error(error);
             return false;
           }
           const uint8_t payload[4] = {
               static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(address >> 8),
               static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
           return ctx.Send(kModbusSetSlaveRegisterRequest, payload, sizeof(payload));
         }},
        {"modbus-show", "modbus-show", "print the latest coil and register images, decoded",
         [this](const kore::Args&, kore::KoreContext& ctx) {
           if (m_coils.empty() && m_registers.empty()) {
             ctx.Log("modbus", "no Modbus image received yet");
             return true;
           }
           if (!m_coils.empty()) {
             kore::JsonObject json;
             ctx.Log("modbus-coils", DescribeCoils(m_coils, &json), json);
           }
           if (!m_registers.empty()) {
             kore::JsonObject json;
             ctx.Log("modbus-registers", DescribeRegisters(m_registers, &json), json);
           }
           return true;
         }},
    };
  }

  bool OnEvent(const VeloFramework::ControlMessage& msg, kore::KoreContext&,
               kore::EventLog& log) override {
    if (msg.nEvent != kCoilImageEvent && msg.nEvent != kRegisterImageEvent) return false;
    const bool coils = msg.nEvent == kCoilImageEvent;
    const size_t expected = coils ? kCoilImageLength : kRegisterImageLength;
    log.name = coils ? "modbus-coils" : "modbus-registers";
    if (msg.msgData.nMsgLength != expected) {
      log.text =
          Format("image of %" PRIu32 " bytes, expected %zu", msg.msgData.nMsgLength, expected);
      log.json.Add("error", "bad length");
      return true;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(msg.msgData.chMsgData);
    std::vector<uint8_t> image(data, data + expected);
    std::vector<uint8_t>& last = coils ? m_coils : m_registers;
    const auto now = std::chrono::steady_clock::now();
    if (coils) {
      log.quiet = image == last;
    } else {
      log.quiet = image == last || (!last.empty() && SameSettings(image, last) &&
                                    now - m_lastRegisterLog < std::chrono::seconds(1));
      if (!log.quiet) m_lastRegisterLog = now;
    }
    last = std::move(image);
    if (!log.quiet)
      log.text = coils ? DescribeCoils(last, &log.json) : DescribeRegisters(last, &log.json);
    return true;
  }

 private:
  // True when two register images differ at most in the measured values
  // (joints, currents, temperatures, torques, pose, velocity, tool offset, force).
  static bool SameSettings(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    for (int r = 0; r < 601; ++r) {
      const bool measured = (r >= 270 && r < 320) || (r >= 400 && r < 440);
      if (!measured && Reg(a, r) != Reg(b, r)) return false;
    }
    return true;
  }

  static std::string DescribeCoils(const std::vector<uint8_t>& c, kore::JsonObject* json) {
    const unsigned in = CoilWord(c, 0, 16), inEx = CoilWord(c, 16, 4), out = CoilWord(c, 20, 16);
    const unsigned toolIn = CoilWord(c, 36, 6), toolOut = CoilWord(c, 42, 6);
    const unsigned status = CoilWord(c, ModbusMap::kCoilSystemStatus, 6);
    json->Add("di", in)
        .Add("di_ex", inEx)
        .Add("do", out)
        .Add("tool_di", toolIn)
        .Add("tool_do", toolOut)
        .Add("status", status);
    return "coils: DI " + Binary(in, 16) + " DI-ex " + Binary(inEx, 4) + " DO " + Binary(out, 16) +
           " tool-DI " + Binary(toolIn, 6) + " tool-DO " + Binary(toolOut, 6) + " status " +
           StatusText(status, 6) + " (bit 0 rightmost)";
  }

  static std::string DescribeRegisters(const std::vector<uint8_t>& r, kore::JsonObject* json) {
    std::string joints, jointsJson, pose, poseJson, force, forceJson;
    Six(r, ModbusMap::kRegJointPose, 10.0, 1, &joints, &jointsJson);
    Six(r, ModbusMap::kRegTaskPose, 10.0, 1, &pose, &poseJson);
    Six(r, ModbusMap::kRegExternalForce, 1.0, 0, &force, &forceJson);
    json->AddRaw("joints", jointsJson)
        .AddRaw("pose", poseJson)
        .AddRaw("force", forceJson)
        .Add("robot_state", static_cast<unsigned>(Reg(r, 259)))
        .Add("do", static_cast<unsigned>(Reg(r, 2)))
        .Add("tool_do", static_cast<unsigned>(Reg(r, 22)))
        .Add("ai0", static_cast<int>(SignedReg(r, 4)))
        .Add("ai1", static_cast<int>(SignedReg(r, 6)))
        .Add("ao0", static_cast<int>(SignedReg(r, 16)))
        .Add("ao1", static_cast<int>(SignedReg(r, 18)))
        .Add("gpr0", static_cast<unsigned>(Reg(r, 128)));
    return "registers: joints [" + joints + "] pose [" + pose + "] force [" + force + "] state " +
           std::to_string(Reg(r, 259)) + " DO 0x" + Format("%04X", Reg(r, 2)) + " tool-DO 0x" +
           Format("%02X", Reg(r, 22)) + " AI " + std::to_string(SignedReg(r, 4)) + "/" +
           std::to_string(SignedReg(r, 6)) + " AO " + std::to_string(SignedReg(r, 16)) + "/" +
           std::to_string(SignedReg(r, 18)) + " GPR0 " + std::to_string(Reg(r, 128)) + " version " +
           std::to_string(Reg(r, 256)) + "." + std::to_string(Reg(r, 257)) + "." +
           std::to_string(Reg(r, 258));
  }

  std::vector<uint8_t> m_coils;
  std::vector<uint8_t> m_registers;
  std::chrono::steady_clock::time_point m_lastRegisterLog{};
};

KORE_REGISTER_EXTENSION(ModbusExtension);

}  // namespace
