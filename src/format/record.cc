#include "format/record.h"

#include "format/internal_key.h"

namespace vostrel {

std::string_view to_string(KeyState state) noexcept {
  switch (state) {
    case KeyState::Deleted: return "Deleted";
    case KeyState::Live: return "Live";
    case KeyState::Unknown: return "Unknown";
  }
  return "Unknown";
}

std::string_view to_string(FileType type) noexcept {
  switch (type) {
    case FileType::Ldb: return "Ldb";
    case FileType::Log: return "Log";
  }
  return "Ldb";
}

std::string_view Record::user_key() const noexcept { return user_key_of(key, file_type); }

StateFilter::StateFilter(const std::optional<std::vector<KeyState>>& states) {
  if (!states) {
    admitted_.set();
    return;
  }
  for (const KeyState state : *states) admitted_.set(static_cast<std::uint8_t>(state));
}

std::string_view to_string(Recovery recovered) noexcept {
  switch (recovered) {
    case Recovery::None: return "";
    case Recovery::CarvedBlock: return "carved-block";
    case Recovery::CarvedLog: return "carved-log";
  }
  return "";
}

const std::string& Record::origin_path() const noexcept {
  static const std::string empty;
  return origin_file ? *origin_file : empty;
}

bool operator==(const Record& a, const Record& b) noexcept {
  return a.key == b.key && a.value == b.value && a.seq == b.seq && a.state == b.state &&
         a.file_type == b.file_type && a.origin_path() == b.origin_path() &&
         a.offset == b.offset && a.was_compressed == b.was_compressed && a.recovered == b.recovered;
}

void VectorSink::operator()(const RecordView& view) {
  records_.push_back(Record{
      .key = std::string(view.key),
      .value = std::string(view.value),
      .seq = view.seq,
      .state = view.state,
      .file_type = view.file_type,
      .origin_file = view.origin_file ? *view.origin_file : SharedPath{},
      .offset = view.offset,
      .was_compressed = view.was_compressed,
      .recovered = view.recovered,
  });
}

}  // namespace vostrel
