// What the zip and unzip controls share (internal): how a member is named in a message, the libzip archive
// handle, the events sink used when the host gives none, and the disk prompt.
#pragma once

#include <zip.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/zip/ZipControl.h"

namespace vela::zip {

// Member names come from the host or from an untrusted archive: quoted, blanks at their ends stay visible.
inline std::string Quote(std::string_view text) {
  return "'" + std::string(text) + "'";
}

struct DiscardArchive {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
// An open archive. Only a successful zip_close writes it; any other end discards it, so a failed or stopped
// pack leaves nothing half written.
using Archive = std::unique_ptr<zip_t, DiscardArchive>;

// The sink of a control constructed without one: every event keeps its default reply.
template <class Events>
Events& NoEvents() {
  static Events none;
  return none;
}

// Raises the disk prompt for `disk` (kFirstDisk when packing, 0 when unpacking); false when the user
// cancelled.
template <class Events>
bool AskForDisk(Events& events, std::int32_t disk) {
  std::int32_t message = kDiskWanted;
  std::int32_t style = kDiskPromptStyle;
  std::int32_t number = disk;
  std::int32_t reply = kReplyOk;
  events.MessageCallback(message, style, number, reply);
  return reply != kReplyCancel;
}

}  // namespace vela::zip
