// kore-sim extension for the user TCP module: plays KORE's side of the TCP
// open, close and write requests, reads the chunks the module puts in its Rx
// area, reassembles them, and acknowledges (or refuses) every chunk.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "KoreExtension.h"
#include "Payload.h"
#include "UserTcpRecords.h"

namespace {

using namespace VeloFramework;
using kore::Args;
using kore::Command;
using kore::EventLog;
using kore::JsonObject;
using kore::KoreContext;
using kore::ParseNumber;
using std::chrono::milliseconds;

std::string HexOf(const std::string& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(data.size() * 2);
  for (unsigned char c : data) {
    out += digits[c >> 4];
    out += digits[c & 0xf];
  }
  return out;
}

// Printable form for the readable log: text as it is, other bytes as \xNN.
std::string Printable(const std::string& data, size_t limit = 200) {
  std::string out;
  for (size_t i = 0; i < data.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    }
  }
  if (data.size() > limit) out += "...";
  return out;
}

uint64_t Fnv1a(const std::string& data) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : data) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

class UserTcpExtension : public kore::KoreExtension {
 public:
  std::string Name() const override { return "usertcp"; }

  std::vector<Command> Commands() override {
    std::vector<Command> c;
    c.push_back({"tcp-open", "tcp-open server PORT | tcp-open client ADDRESS PORT",
                 "write the open record into the user TCP module's Tx area and send request 20",
                 [this](const Args& a, KoreContext& ctx) { return Open(a, ctx); }});
    c.push_back({"tcp-open-raw", "tcp-open-raw MODE PORT [ADDRESS|unterminated]",
                 "send request 20 with any mode and port (to try bad open records); "
                 "'unterminated' fills the address field without its zero",
                 [this](const Args& a, KoreContext& ctx) { return OpenRaw(a, ctx); }});
    c.push_back(
        {"tcp-close", "tcp-close", "send request 21 (close the server or client)",
         [](const Args&, KoreContext& ctx) { return ctx.Send(EN_REQ_TCP_CLOSE, nullptr, 0); }});
    c.push_back({"tcp-send", "tcp-send ID " + std::string(kore::kPayloadUsage),
                 "server mode: send data to client ID, chunk by chunk with request 23 (in text, "
                 "\\r\\n ends a line; \\t, \\\\ and \\xHH are a tab, a backslash, any byte)",
                 [this](const Args& a, KoreContext& ctx) { return SendData(a, ctx, true); }});
    c.push_back(
        {"tcp-write", "tcp-write " + std::string(kore::kPayloadUsage),
         "client mode: send data to the remote server, chunk by chunk with request 22 (text "
         "as for tcp-send)",
         [this](const Args& a, KoreContext& ctx) { return SendData(a, ctx, false); }});
    c.push_back({"tcp-chunk",
                 "tcp-chunk 22|23 ID INDEX COUNT [length=N] text WORDS | hex BYTES | pattern N",
                 "write one chunk record as given (any index, count and length) and send the "
                 "request",
                 [this](const Args& a, KoreContext& ctx) { return Chunk(a, ctx); }});
    c.push_back({"tcp-ack", "tcp-ack auto | refuse | refuse-next | none",
                 "how received chunks are answered: acknowledge (34, default), refuse (35) all, "
                 "refuse only the next one, or never answer",
                 [this](const Args& a, KoreContext& ctx) { return AckPolicy(a, ctx); }});
    c.push_back({"tcp-expect", "tcp-expect ID|server TEXT... [timeout=DURATION]",
                 "wait (default 5s) until the data received from client ID (or the server) "
                 "contains TEXT",
                 [this](const Args& a, KoreContext& ctx) { return Expect(a, ctx); }});
    c.push_back({"tcp-pace", "tcp-pace MS",
                 "extra pause after each outgoing chunk once the module took it (default 0)",
                 [this](const Args& a, KoreContext& ctx) {
                   long long ms;
                   std::string error = "usage: tcp-pace MS";
                   if (a.size() != 1 || !kore::ParseNumberArg("tcp-pace: milliseconds", a[0], 0,
                                                              60000, &ms, &error)) {
                     ctx.Error(error);
                     return false;
                   }
                   m_pace = milliseconds(ms);
                   return true;
                 }});
    return c;
  }

  void OnTick(KoreContext& ctx) override { FlushLogs(ctx); }
  void OnShutdown(KoreContext& ctx) override { FlushLogs(ctx); }
  void FlushLogs(KoreContext& ctx) {
    for (const PendingLog& l : m_pendingLogs) ctx.Log("tcp-message", l.text, l.json);
    m_pendingLogs.clear();
  }

  bool OnEvent(const ControlMessage& msg, KoreContext& ctx, EventLog& log) override {
    const uint32_t len = std::min<uint32_t>(msg.msgData.nMsgLength, kMaxMessageDataLength);
    uint32_t value = 0;
    const bool hasValue = len >= 4;
    if (hasValue) std::memcpy(&value, msg.msgData.chMsgData, 4);
    switch (msg.nEvent) {
      case EN_NOTIFY_TCP_OPEN_FAILED:
        log.name = "tcp-open-failed";
        log.text = "TCP open failed (no ping reply, connect failed or bad open record)";
        return true;
      case EN_NOTIFY_TCP_OPENED:
        log.name = "tcp-opened";
        log.text = "TCP link opened";
        return true;
      case EN_NOTIFY_TCP_CLOSE_BAD_MODE:
        log.name = "tcp-close-bad-mode";
        log.text = "TCP close: the open mode was neither server nor client";
        return true;
      case EN_NOTIFY_TCP_CLOSED:
        log.name = "tcp-closed";
        log.text = "TCP link closed";
        m_messages.clear();
        return true;
      case EN_NOTIFY_TCP_SERVER_RECEIVED:
      case EN_NOTIFY_TCP_CLIENT_RECEIVED:
        OnChunk(msg, ctx, log);
        return true;
      case EN_NOTIFY_TCP_NEW_CONNECT: {
        log.name = "tcp-new-client";
        TcpPeerRecord peer{};
        if (void* rx = Rx(ctx)) std::memcpy(&peer, rx, sizeof peer);
        const std::string ip(peer.chIp, strnlen(peer.chIp, sizeof peer.chIp));
        log.text =
            "client " + std::to_string(value) + " connected from " + ip + ":" +
            std::to_string(peer.nPort) +
            (peer.nId == value ? "" : " (peer record names id " + std::to_string(peer.nId) + ")");
        log.json.Add("id", static_cast<uint64_t>(value))
            .Add("peer_id", static_cast<uint64_t>(peer.nId))
            .Add("peer_ip", ip)
            .Add("peer_port", static_cast<uint64_t>(peer.nPort));
        return true;
      }
      case EN_NOTIFY_TCP_DISCONNECT:
        log.name = "tcp-client-gone";
        log.text = "client " + std::to_string(value) + " disconnected";
        log.json.Add("id", static_cast<uint64_t>(value));
        m_messages.erase(std::to_string(value));
        return true;
      case EN_NOTIFY_TCP_RECONNECT_FAILED:
        log.name = "tcp-reconnect-failed";
        log.text = "reconnection to the server failed, reason " + std::to_string(value);
        log.json.Add("reason", static_cast<uint64_t>(value));
        return true;
      case EN_NOTIFY_TCP_RECONNECTED:
        log.name = "tcp-reconnected";
        log.text = "reconnected to the server";
        return true;
      default:
        return false;
    }
  }

 private:
  struct Incoming {
    std::string data;        // reassembled so far
    uint32_t nextIndex = 1;  // chunk expected next
    std::string all;         // every complete message, for tcp-expect
  };

  void* Tx(KoreContext& ctx) { return Area(ctx, kUserTcpTxAreaFormat, &m_tx, &m_txPid); }
  void* Rx(KoreContext& ctx) { return Area(ctx, kUserTcpRxAreaFormat, &m_rx, &m_rxPid); }
  void* Area(KoreContext& ctx, const char* format, void** cache, pid_t* cachePid) {
    const pid_t pid = ctx.ModulePid();
    if (pid <= 0) return nullptr;
    if (*cache == nullptr || *cachePid != pid) {
      char name[64];
      std::snprintf(name, sizeof name, format, static_cast<int>(pid));
      // A module that has just started may not have made its areas yet.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      for (;;) {
        *cache = ctx.OpenSharedMemory(std::string("/") + name, sizeof(TcpChunkRecord));
        if (*cache != nullptr || std::chrono::steady_clock::now() > deadline) break;
        ctx.RunFor(milliseconds(20));
      }
      *cachePid = pid;
      if (*cache == nullptr) ctx.Error(std::string("cannot map the module's area ") + name);
    }
    return *cache;
  }

  bool WriteOpen(KoreContext& ctx, int32_t mode, int32_t port, const std::string& ip,
                 bool terminated) {
    void* tx = Tx(ctx);
    if (tx == nullptr) return false;
    TcpOpenRecord rec{};
    rec.nMode = mode;
    rec.nPort = port;
    if (terminated) {
      std::strncpy(rec.chIp, ip.c_str(), sizeof rec.chIp - 1);
    } else {
      std::memset(rec.chIp, '1', sizeof rec.chIp);
    }
    std::memcpy(tx, &rec, sizeof rec);
    const bool ok = ctx.Send(EN_REQ_TCP_OPEN, nullptr, 0);
    return ok && WaitTaken(ctx);
  }

  bool Open(const Args& a, KoreContext& ctx) {
    long long port;
    std::string error;
    if (a.size() == 2 && a[0] == "server") {
      if (kore::ParseNumberArg("tcp-open: port", a[1], 1, 65535, &port, &error)) {
        return WriteOpen(ctx, kTcpModeServer, static_cast<int32_t>(port), "", true);
      }
    } else if (a.size() == 3 && a[0] == "client") {
      if (a[1].size() > 15) {
        error = "tcp-open: address \"" + a[1] + "\" has " + std::to_string(a[1].size()) +
                " characters, at most 15 fit";
      } else if (kore::ParseNumberArg("tcp-open: port", a[2], 1, 65535, &port, &error)) {
        return WriteOpen(ctx, kTcpModeClient, static_cast<int32_t>(port), a[1], true);
      }
    }
    ctx.Error(!error.empty() ? error
                             : "usage: tcp-open server PORT | tcp-open client ADDRESS PORT "
                               "(address at most 15 characters, port 1..65535)");
    return false;
  }

  bool OpenRaw(const Args& a, KoreContext& ctx) {
    long long mode, port;
    if (a.size() < 2 || a.size() > 3 || !ParseNumber(a[0], INT32_MIN, INT32_MAX, &mode) ||
        !ParseNumber(a[1], INT32_MIN, INT32_MAX, &port)) {
      ctx.Error("usage: tcp-open-raw MODE PORT [ADDRESS|unterminated]");
      return false;
    }
    const std::string ip = a.size() == 3 ? a[2] : "127.0.0.1";
    const bool terminated = ip != "unterminated";
    return WriteOpen(ctx, static_cast<int32_t>(mode), static_cast<int32_t>(port), ip.substr(0, 15),
                     terminated);
  }

  // Waits until the module has taken every request off the queue, so that
  // the Tx area may be written again; kore-sim reads its own events
  // meanwhile. The module reads the Tx area right after taking the request.
  bool WaitTaken(KoreContext& ctx) {
    const key_t key = ftok(kControlMessageQueueKeyFile, kControlMessageQueueProjectId);
    const int id = key == -1 ? -1 : msgget(key, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (id != -1) {
      msqid_ds info{};
      if (msgctl(id, IPC_STAT, &info) != 0) break;
      if (info.msg_qnum == 0) {
        ctx.RunFor(milliseconds(2) + m_pace);
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ctx.Error("the module did not take its request within 5 s");
        return false;
      }
      ctx.RunFor(milliseconds(1));
    }
    ctx.RunFor(milliseconds(20) + m_pace);
    return true;
  }

  bool WriteChunk(KoreContext& ctx, uint32_t request, uint32_t id, uint32_t index, uint32_t count,
                  uint32_t length, const std::string& bytes) {
    void* tx = Tx(ctx);
    if (tx == nullptr) return false;
    TcpChunkRecord rec{};
    rec.nId = id;
    rec.nChunkLength = length;
    rec.nTotalLength = static_cast<uint32_t>(bytes.size());
    rec.nChunkIndex = index;
    rec.nChunkCount = count;
    std::memcpy(rec.chData, bytes.data(), std::min<size_t>(bytes.size(), kTcpChunkDataSize));
    std::memcpy(tx, &rec, sizeof rec);
    return ctx.Send(request, nullptr, 0) && WaitTaken(ctx);
  }

  bool SendData(const Args& a, KoreContext& ctx, bool toClient) {
    size_t first = 0;
    long long id = 0;
    if (toClient) {
      std::string error = "usage: tcp-send ID " + std::string(kore::kPayloadUsage);
      if (a.empty() ||
          !kore::ParseNumberArg("tcp-send: client id", a[0], 1, UINT32_MAX, &id, &error)) {
        ctx.Error(error);
        return false;
      }
      first = 1;
    }
    std::string data, error;
    if (!kore::ParsePayload(a, first, false, &data, &error)) {
      ctx.Error(std::string(toClient ? "tcp-send: " : "tcp-write: ") + error);
      return false;
    }
    if (data.empty() || data.size() > kTcpMaxMessageSize) {
      ctx.Error(std::string(toClient ? "tcp-send" : "tcp-write") + ": a message holds 1 to " +
                std::to_string(kTcpMaxMessageSize) + " bytes, this one " +
                std::to_string(data.size()));
      return false;
    }
    const uint32_t count =
        static_cast<uint32_t>((data.size() + kTcpChunkDataSize - 1) / kTcpChunkDataSize);
    const uint32_t request = toClient ? EN_REQ_TCP_WRITE_TCP_CLIENT : EN_REQ_TCP_WRITE_TCP_SERVER;
    ctx.Log("tcp-sending",
            std::string("sending ") + std::to_string(data.size()) + " bytes in " +
                std::to_string(count) + " chunk(s) to " +
                (toClient ? "client " + std::to_string(id) : std::string("the server")) + ": \"" +
                Printable(data, 80) + "\"",
            JsonObject()
                .Add("id", static_cast<int64_t>(id))
                .Add("length", static_cast<uint64_t>(data.size()))
                .Add("chunks", static_cast<uint64_t>(count)));
    for (uint32_t i = 1; i <= count; ++i) {
      const std::string part = data.substr((i - 1) * kTcpChunkDataSize, kTcpChunkDataSize);
      if (!WriteChunk(ctx, request, static_cast<uint32_t>(id), i, count,
                      static_cast<uint32_t>(part.size()), part)) {
        return false;
      }
    }
    return true;
  }

  bool Chunk(const Args& a, KoreContext& ctx) {
    long long request, id, index, count, length = -1;
    if (a.size() < 5 || !ParseNumber(a[0], 22, 23, &request) ||
        !ParseNumber(a[1], 0, UINT32_MAX, &id) || !ParseNumber(a[2], 0, UINT32_MAX, &index) ||
        !ParseNumber(a[3], 0, UINT32_MAX, &count)) {
      ctx.Error(
          "usage: tcp-chunk 22|23 ID INDEX COUNT [length=N] text WORDS | hex BYTES | "
          "pattern N");
      return false;
    }
    size_t first = 4;
    if (a[4].rfind("length=", 0) == 0) {
      std::string error;
      if (!kore::ParseNumberArg("tcp-chunk: length", a[4].substr(7), 0, UINT32_MAX, &length,
                                &error)) {
        ctx.Error(error);
        return false;
      }
      first = 5;
    }
    std::string data, error;
    if (!kore::ParsePayload(a, first, false, &data, &error)) {
      ctx.Error(error);
      return false;
    }
    if (length < 0)
      length = static_cast<long long>(std::min<size_t>(data.size(), kTcpChunkDataSize));
    return WriteChunk(ctx, static_cast<uint32_t>(request), static_cast<uint32_t>(id),
                      static_cast<uint32_t>(index), static_cast<uint32_t>(count),
                      static_cast<uint32_t>(length), data);
  }

  bool AckPolicy(const Args& a, KoreContext& ctx) {
    if (a.size() == 1 &&
        (a[0] == "auto" || a[0] == "refuse" || a[0] == "refuse-next" || a[0] == "none")) {
      m_ack = a[0];
      return true;
    }
    ctx.Error("usage: tcp-ack auto | refuse | refuse-next | none");
    return false;
  }

  bool Expect(const Args& a, KoreContext& ctx) {
    if (a.size() < 2) {
      ctx.Error("usage: tcp-expect ID|server TEXT... [timeout=DURATION]");
      return false;
    }
    std::string who = a[0] == "server" ? "0" : a[0];
    milliseconds timeout(5000);
    std::string text;
    for (size_t i = 1; i < a.size(); ++i) {
      if (a[i].rfind("timeout=", 0) == 0) {
        // A bare number here means seconds (the other commands read it as ms).
        std::string t = a[i].substr(8), error;
        if (!t.empty() && t.find_first_not_of("0123456789.") == std::string::npos) t += "s";
        if (!kore::ParseDurationArg("tcp-expect: timeout", t, &timeout, &error)) {
          ctx.Error(error);
          return false;
        }
        continue;
      }
      if (!text.empty()) text += ' ';
      text += a[i];
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto it = m_messages.find(who);
      if (it != m_messages.end() && it->second.all.find(text) != std::string::npos) {
        FlushLogs(ctx);
        ctx.Log("tcp-expect",
                "received \"" + text + "\" from " +
                    (who == "0" ? std::string("the server") : "client " + who),
                JsonObject().Add("ok", true).Add("text", text));
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) break;
      ctx.RunFor(milliseconds(10));
    }
    ctx.Error("tcp-expect: \"" + text + "\" not received from " + a[0]);
    return false;
  }

  void OnChunk(const ControlMessage& msg, KoreContext& ctx, EventLog& log) {
    const bool fromClient = msg.nEvent == EN_NOTIFY_TCP_SERVER_RECEIVED;
    log.name = fromClient ? "tcp-server-received" : "tcp-client-received";
    TcpChunkRecord rec{};
    void* rx = Rx(ctx);
    if (rx != nullptr) std::memcpy(&rec, rx, sizeof rec);
    const uint32_t len = std::min(rec.nChunkLength, kTcpChunkDataSize);
    const std::string chunk(rec.chData, len);
    const std::string key = fromClient ? std::to_string(rec.nId) : "0";
    const std::string who = fromClient ? "client " + key : std::string("the server");

    // Answer as the policy says.
    const std::string policy = m_ack;
    if (m_ack == "refuse-next") m_ack = "auto";
    const bool accept = policy == "auto";
    const bool answered = policy != "none";
    if (answered) ctx.Send(accept ? EN_REQ_TCP_ACK_SUCCESS : EN_REQ_TCP_ACK_FAILURE, nullptr, 0);

    Incoming& in = m_messages[key];
    std::string note;
    if (!accept) {
      // The module abandons the rest of this message.
      in.data.clear();
      in.nextIndex = 1;
    } else {
      if (rec.nChunkIndex == 1) {
        in.data.clear();
        in.nextIndex = 1;
      }
      if (rec.nChunkIndex != in.nextIndex) {
        note = " (expected chunk " + std::to_string(in.nextIndex) + "; partial message dropped)";
        in.data.clear();
        in.nextIndex = 1;
      } else {
        in.data += chunk;
        ++in.nextIndex;
      }
    }
    log.text = "chunk " + std::to_string(rec.nChunkIndex) + "/" + std::to_string(rec.nChunkCount) +
               " from " + who + ", " + std::to_string(len) + " of " +
               std::to_string(rec.nTotalLength) + " bytes: \"" + Printable(chunk, 60) + "\"" +
               (accept     ? " - acknowledged"
                : answered ? " - refused"
                           : " - not answered") +
               note;
    log.json.Add("id", static_cast<uint64_t>(rec.nId))
        .Add("chunk_index", static_cast<uint64_t>(rec.nChunkIndex))
        .Add("chunk_count", static_cast<uint64_t>(rec.nChunkCount))
        .Add("chunk_length", static_cast<uint64_t>(rec.nChunkLength))
        .Add("total_length", static_cast<uint64_t>(rec.nTotalLength))
        .Add("ack", accept     ? "success"
                    : answered ? "failure"
                               : "none")
        .Add("chunk_hex", HexOf(chunk));
    if (accept && rec.nChunkIndex == rec.nChunkCount && in.nextIndex == rec.nChunkCount + 1) {
      const std::string message = in.data;
      in.all += message;
      if (in.all.size() > 1000000) in.all.erase(0, in.all.size() - 1000000);
      in.data.clear();
      in.nextIndex = 1;
      JsonObject json;
      json.Add("id", static_cast<uint64_t>(rec.nId))
          .Add("from", who)
          .Add("length", static_cast<uint64_t>(message.size()))
          .Add("fnv1a", Fnv1a(message));
      if (message.size() <= 8192) json.Add("hex", HexOf(message));
      // Logged on the next tick, after the line of the event that completed it.
      m_pendingLogs.push_back({"message from " + who + " (" + std::to_string(message.size()) +
                                   " bytes): \"" + Printable(message) + "\"",
                               json});
    }
  }

  struct PendingLog {
    std::string text;
    JsonObject json;
  };
  std::vector<PendingLog> m_pendingLogs;
  void* m_tx = nullptr;
  void* m_rx = nullptr;
  pid_t m_txPid = -1;
  pid_t m_rxPid = -1;
  std::string m_ack = "auto";
  milliseconds m_pace{0};
  std::map<std::string, Incoming> m_messages;
};

KORE_REGISTER_EXTENSION(UserTcpExtension);

}  // namespace
