// Message intake: turning received MQTT messages into store records and acknowledgements.
// Neither handler lets an exception out for any input: bad payloads yield at most a warning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mqtt_client.h"
#include "outbox_store.h"
#include "resender.h"

namespace kestova {

// What became of a data message. `retry` is set only when the store could not write its record
// for a file-system reason (full disk, read-only or vanished directory): the message is then not
// settled and must be offered again. Messages refused for their content are settled.
struct DataOutcome {
  bool stored = false;    // a new record was written
  bool rejected = false;  // refused for its content (invalid JSON, missing keys, bad topic)
  bool retry = false;
  Status error;  // what failed, with its errno (retry only)
  int64_t timestamp = 0;
  std::string msg_id;
};

// With `resender`, a message whose key it republished less than stale_threshold seconds ago and
// that the store no longer indexes is the echo of our own republish coming back on the data
// subscription after its line left the active file (acknowledged and compacted away, or rotated
// into an archive): it is settled without being stored again, which would make an acknowledged
// message pending once more. An echo of a key still indexed takes the duplicate path like any
// other message.
DataOutcome handleDataMessage(OutboxStore& store, const mosquitto::msg_t& msg,
                              const Resender* resender = nullptr);
// Returns the number of acknowledgement entries accepted.
size_t handleAckMessage(OutboxStore& store, Resender& resender, const mosquitto::msg_t& msg);

}  // namespace kestova
