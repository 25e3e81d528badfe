#include "handlers.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "json_util.h"
#include "p7.h"
#include "saturating.h"

namespace kestova {
namespace {

using nlohmann::json;

// The whole payload as exactly one JSON value: white space only around it, no comments, no zero
// byte, bounded nesting. False with the reason in *error; never throws for bad input.
bool ParsePayload(const std::vector<uint8_t>& payload, json* doc, std::string* error) {
  try {
    return ParseWholeJson(
        std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()), doc,
        error);
  } catch (const json::exception& e) {
    // Not every rejection is a parse_error: a number beyond the double range ("1e400") raises
    // out_of_range 406 from inside the parser.
    *error = e.what();
    return false;
  }
}

// The member `key` of `doc` when `doc` is an object that has it, else null.
const json* Member(const json& doc, const char* key) {
  if (!doc.is_object()) return nullptr;
  const auto it = doc.find(key);
  return it == doc.end() ? nullptr : &*it;
}

}  // namespace

DataOutcome handleDataMessage(OutboxStore& store, const mosquitto::msg_t& msg,
                              const Resender* resender) {
  DataOutcome out;
  out.rejected = true;  // until the message proves to be a well-formed data message
  json doc;
  std::string error;
  if (!ParsePayload(msg.payload, &doc, &error)) {
    SKV_LOG(P7::kWarning, "Data: invalid JSON (%zu bytes): %s", msg.payload.size(), error.c_str());
    return out;
  }
  // The timestamp test comes first: a document lacking both keys gets the timestamp warning only.
  const json* ts = Member(doc, "timestamp");
  if (ts == nullptr || !ts->is_number()) {
    SKV_LOG(P7::kWarning, "Data: missing timestamp on topic %s", msg.topic.c_str());
    return out;
  }
  const json* id = Member(doc, "msg_id");
  if (id == nullptr || !id->is_string()) {
    SKV_LOG(P7::kWarning, "Data: missing msg_id on topic %s", msg.topic.c_str());
    return out;
  }
  // Fractions are cut toward zero; values beyond the int64 range clamp to its limits.
  const int64_t timestamp = JsonToInt64Saturating(*ts);
  const std::string& msg_id = id->get_ref<const std::string&>();
  out.timestamp = timestamp;
  out.msg_id = msg_id;
  out.rejected = false;
  if (resender != nullptr && resender->resentRecently(timestamp, msg_id) &&
      !store.isIndexed(timestamp, msg_id)) {
    SKV_LOG(P7::kDebug, "Echo of resent message skipped: ts=%lld msg_id=%s",
            static_cast<long long>(timestamp), msg_id.c_str());
    return out;
  }

  // The record keeps the payload exactly as received, not the parsed document.
  StoreResult result =
      store.store(msg.payload.data(), msg.payload.size(), timestamp, msg_id, msg.topic);
  if (result.kind == StoreResult::Kind::kRejected) {
    // The parser only yields valid UTF-8, but the topic comes from the broker as raw bytes.
    SKV_LOG(P7::kWarning, "Data: cannot store message on topic %s: %s", msg.topic.c_str(),
            result.status.message().c_str());
    out.rejected = true;
    return out;
  }
  // A duplicate or already acknowledged message was logged by the store; a failed write is the
  // caller's to report, once for as long as it holds the message.
  if (result.stored()) {
    out.stored = true;
    SKV_LOG(P7::kDebug, "Captured: ts=%lld msg_id=%s topic=%s (%zu bytes)",
            static_cast<long long>(timestamp), msg_id.c_str(), msg.topic.c_str(),
            msg.payload.size());
  } else if (result.kind == StoreResult::Kind::kIoError) {
    out.retry = true;
    out.error = std::move(result.status);
  }
  return out;
}

size_t handleAckMessage(OutboxStore& store, Resender& resender, const mosquitto::msg_t& msg) {
  size_t accepted = 0;
  json doc;
  std::string error;
  if (!ParsePayload(msg.payload, &doc, &error)) {
    SKV_LOG(P7::kWarning, "ACK: invalid JSON on %s: %s", msg.topic.c_str(), error.c_str());
    return 0;
  }
  // Batch form: an object whose "acks" is an array. Anything else, a top-level array included, is
  // one entry in itself.
  const json* acks = Member(doc, "acks");
  if (acks != nullptr && !acks->is_array()) acks = nullptr;
  const size_t count = acks != nullptr ? acks->size() : 1;

  for (size_t i = 0; i < count; ++i) {
    const json& entry = acks != nullptr ? (*acks)[i] : doc;
    const json* ts = Member(entry, "timestamp");
    const json* id = Member(entry, "msg_id");
    if (ts == nullptr || !ts->is_number() || id == nullptr || !id->is_string()) {
      SKV_LOG(P7::kWarning, "ACK: missing timestamp/msg_id on %s", msg.topic.c_str());
      continue;
    }
    const int64_t timestamp = JsonToInt64Saturating(*ts);
    const std::string& msg_id = id->get_ref<const std::string&>();
    // "ack_ts" only feeds the log line; a value that is not a number counts as absent.
    const json* ack_ts_member = Member(entry, "ack_ts");
    const int64_t ack_ts = ack_ts_member != nullptr && ack_ts_member->is_number()
                               ? JsonToInt64Saturating(*ack_ts_member)
                               : 0;

    // The store hears first: a chain step started below must no longer see this key as pending.
    store.ackMessage(timestamp, msg_id);
    if (ack_ts > 0) {
      SKV_LOG(P7::kInfo, "ACK: ts=%lld msg_id=%s latency=%llds on %s",
              static_cast<long long>(timestamp), msg_id.c_str(),
              static_cast<long long>(SaturatingSub(ack_ts, timestamp)), msg.topic.c_str());
    } else {
      SKV_LOG(P7::kInfo, "ACK: ts=%lld msg_id=%s on %s", static_cast<long long>(timestamp),
              msg_id.c_str(), msg.topic.c_str());
    }
    resender.onAckReceived(timestamp, msg_id);
    ++accepted;
  }
  return accepted;
}

}  // namespace kestova
