#pragma once
// Chromium's service worker database ("Service Worker/Database" in a
// profile): which service workers each origin registered, their versions and
// the scripts they were installed from. Its keys are text, numbers written in
// decimal, '\0' between a key's parts:
//
//   INITDATA_DB_VERSION, INITDATA_NEXT_REGISTRATION_ID,
//   INITDATA_NEXT_RESOURCE_ID, INITDATA_NEXT_VERSION_ID   a number (text)
//   INITDATA_UNIQUE_ORIGIN:<storage key>                  empty
//   REG:<storage key>\0<registration id>                  ServiceWorkerRegistrationData
//   RES:<version id>\0<resource id>                       ServiceWorkerResourceRecord
//   URES:<resource id>, PRES:<resource id>                empty (uncommitted, purgeable)
//   REGID_TO_ORIGIN:<registration id>                     the storage key
//   REG_USER_DATA:<registration id>\0<name>               the data (any bytes)
//   REG_HAS_USER_DATA:<name>\0<registration id>           empty
//
// A storage key is the origin as a URL ("http://127.0.0.1:8810/"), followed by
// its partition when the worker runs in a third-party context. The two
// messages are protocol buffers, written with the names Chromium's
// service_worker_database.proto gives their fields; times (Windows-epoch
// microseconds) as ISO text.

#include <string>
#include <string_view>

#include "chromium/protobuf.h"
#include "format/record.h"

namespace vostrel::chromium {

// Whether a key is one the service worker database writes (a store's vote).
[[nodiscard]] bool is_service_worker_key(std::string_view key) noexcept;

struct ServiceWorkerDecoder {
  void learn(const RecordView&) {}
  void append_entry(std::string& out, const RecordView& record);

 private:
  std::vector<ProtobufField> fields_;
  ProtobufJson protobuf_;
};

}  // namespace vostrel::chromium
