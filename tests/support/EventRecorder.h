// The one recorder of the events an operation raises, for every test that listens: what was heard, in
// order, the answers a test presets, and a hook after each event (a cancel at the nth one, say).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velabackup/CBackup.h"
#include "velabackup/CBackupEvents.h"

namespace vela::testing {

class EventRecorder : public CBackupEvents {
 public:
  enum Kind { kProgress, kMessage, kCorruption, kAdditional };
  struct Message {
    std::string prompt, guid;
    int buttons, preset;
  };

  void UpdateProgress(std::int32_t value, const std::string& caption) override {
    progress.emplace_back(value, caption);
    After(kProgress, nullptr);
  }
  void ShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& guid,
                   std::int32_t& result) override {
    messages.push_back({prompt, guid, buttons, result});
    lines.push_back(guid + " " + std::to_string(buttons) + " " + prompt);
    if (auto found = answers.find(guid); found != answers.end())
      result = found->second;
    else if (answer)
      result = *answer;
    After(kMessage, &result);
  }
  void DatabaseCorruptionFound() override {
    ++corruption;
    After(kCorruption, nullptr);
  }
  void RequestAdditionalFiles(std::optional<std::vector<std::string>>& out, const std::string&,
                              const TableList&) override {
    if (!files.empty()) out = files;
  }
  void RestoreAdditionalFiles(const std::string&, const std::string&, const std::string&) override {
    ++additional;
    After(kAdditional, nullptr);
  }

  // How many events of a kind were heard.
  int Count(Kind kind) const {
    switch (kind) {
      case kProgress: return static_cast<int>(progress.size());
      case kMessage: return static_cast<int>(messages.size());
      case kCorruption: return corruption;
      case kAdditional: return additional;
    }
    return 0;
  }
  // Cancels `backup` at the nth event of a kind (n = 0: never).
  void CancelAt(CBackup& backup, int n, Kind kind = kProgress) {
    then = [this, &backup, n, kind](Kind heard, std::int32_t*) {
      if (heard == kind && Count(kind) == n) backup.Cancel();
    };
  }
  // The progress captions, and the values reported under one caption, in order.
  std::vector<std::string> Captions() const {
    std::vector<std::string> captions;
    for (const auto& [value, caption] : progress) captions.push_back(caption);
    return captions;
  }
  std::vector<std::int32_t> Under(const std::string& caption) const {
    std::vector<std::int32_t> values;
    for (const auto& [value, text] : progress)
      if (text == caption) values.push_back(value);
    return values;
  }
  // Forgets what was heard; answers and the hook stay.
  void Clear() {
    progress.clear();
    messages.clear();
    lines.clear();
    corruption = additional = 0;
  }

  std::vector<std::pair<int, std::string>> progress;
  std::vector<Message> messages;
  // Each message as "guid buttons prompt".
  std::vector<std::string> lines;
  int corruption = 0, additional = 0;

  // The answer to the messages of a GUID; `answer` to every other message; the files a save adds.
  std::map<std::string, std::int32_t> answers;
  std::optional<std::int32_t> answer;
  std::vector<std::string> files;
  // Called after each event is recorded, with the message's answer for a message.
  std::function<void(Kind, std::int32_t* answer)> then;

 private:
  void After(Kind kind, std::int32_t* result) {
    if (then) then(kind, result);
  }
};

}  // namespace vela::testing
