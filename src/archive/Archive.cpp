#include "archive/Archive.h"

#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/text/Strings.h"
#include "platform/zip/UnzipControl.h"
#include "platform/zip/ZipControl.h"
#include "velabackup/BackupFile.h"
#include "velabackup/MessageGuids.h"

namespace vela {

namespace {

constexpr std::int32_t kQuestionIcon = 32;

// Progress of either control goes out with the step's caption; a cancel stops the control.
template <class ControlEvents>
class StatusHandler : public ControlEvents {
 public:
  StatusHandler(Operation& operation, std::string caption)
      : operation_(operation), caption_(std::move(caption)) {}

  void MajorStatus(std::string&, std::int32_t& progress, std::int32_t& stop) override {
    if (operation_.Cancelled())
      stop = 1;
    else
      operation_.RaiseUpdateProgress(progress, caption_);
  }
  void MinorStatus(std::string&, std::int32_t&, std::int32_t& stop) override {
    if (operation_.Cancelled()) stop = 1;
  }

 protected:
  Operation& operation_;
  std::string caption_;
};

class ZipHandler final : public StatusHandler<zip::ZipEvents> {
 public:
  ZipHandler(Archive& archive, Operation& operation, std::string caption, std::string archivePath)
      : StatusHandler(operation, std::move(caption)),
        archive_(archive),
        archivePath_(std::move(archivePath)) {}

  void MessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                       std::int32_t& reply) override {
    archive_.ZipMessageCallback(message, style, number, reply, archivePath_);
  }

 private:
  Archive& archive_;
  std::string archivePath_;
};

class UnzipHandler final : public StatusHandler<zip::UnzipEvents> {
 public:
  UnzipHandler(Archive& archive, Operation& operation, std::string caption)
      : StatusHandler(operation, std::move(caption)), archive_(archive) {}

  void MessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                       std::int32_t& reply) override {
    archive_.UnzipMessageCallback(message, style, number, reply);
  }
  void RenameCallback(std::string& targetPath) override {
    // The folder that receives the backup document or the mode file is where the restore reads from.
    const Utils& utils = operation_.utils();
    unpacked = true;
    std::string name = utils.NamePart(targetPath);
    if (text::EqualsNoCase(name, kDocumentMember) || text::EqualsNoCase(name, kModeMember))
      restoreFolder = utils.ParentFolder(targetPath);
  }

  std::string restoreFolder;
  bool unpacked = false;

 private:
  Archive& archive_;
};

}  // namespace

std::string Archive::GetAdditionalFiles(const TableList& doNotSaveDataTables) {
  return Trapped("GetAdditionalFiles", [&](Procedure& at) {
    at();
    std::optional<std::vector<std::string>> files;
    operation_.RaiseRequestAdditionalFiles(files, operation_.workFolder().Get(), doNotSaveDataTables);
    std::string list;
    if (files)
      for (const std::string& file : *files) list += zip::QuoteFileListEntry(file);
    return list;
  });
}

bool Archive::IsDiskFull(const std::string& path) const {
  std::optional<std::uint64_t> free = operation_.drive().FreeSpace(path);
  return !free || *free == 0;
}

void Archive::ZipMessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                                 std::int32_t& reply, const std::string& archivePath) {
  Trapped("m_dynZip_ZipMessageCallback", [&](Procedure& at) {
    if (message == 0) {
      at();
      if (number == -1) {
        operation_.RaiseShowMessage(GetMessageText(24), style + kQuestionIcon, kFirstDiskGuid, reply);
        while (reply != kAnswerCancel && IsDiskFull(archivePath))
          operation_.RaiseShowMessage(GetMessageText(25), style + kQuestionIcon, kFirstDiskFullGuid, reply);
      } else {
        operation_.RaiseShowMessage(GetMessageText(26, number), style + kQuestionIcon, kNextDiskGuid, reply);
        while (reply != kAnswerCancel && IsDiskFull(archivePath))
          operation_.RaiseShowMessage(GetMessageText(27, number), style + kQuestionIcon, kNextDiskFullGuid,
                                      reply);
      }
      if (reply == kAnswerCancel) operation_.Cancel();
    } else if (message == 11) {
      reply = 1;
    } else {
      reply = -1;
    }
  });
}

void Archive::UnzipMessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                                   std::int32_t& reply) {
  Trapped("m_dynUnZip_UnZipMessageCallback", [&](Procedure& at) {
    at();
    if (message == 0) {
      if (number == 0)
        operation_.RaiseShowMessage(GetMessageText(28), style + kQuestionIcon, kLastDiskGuid, reply);
      else
        operation_.RaiseShowMessage(GetMessageText(26, number), style + kQuestionIcon, kUnpackDiskGuid,
                                    reply);
    } else if (message == 1 || message == 8) {
      if (number == 1)
        operation_.RaiseShowMessage(GetMessageText(26, 1), style + kQuestionIcon, kUnpackFirstDiskGuid,
                                    reply);
    } else if (message == 11) {
      reply = 1;
    } else {
      reply = -1;
    }
    if (reply == kAnswerCancel) operation_.Cancel();
  });
}

namespace {

void SetUpPacker(zip::ZipControl& packer, const std::string& archivePath, BackupModeEnum mode,
                 bool compressedContent, const std::string& password, std::optional<std::int32_t> level) {
  packer.SetCompressionLevel(mode == bmUncompressedTextFile || compressedContent ? 0 : 9);
  if (level) {
    packer.SetCompressionLevel(*level);
    if (*level > 0) packer.SetDeflateEffort(*level);
  }
  packer.SetArchivePath(archivePath);
  packer.SetPassword(password);
}

}  // namespace

void Archive::ZipFiles(const std::string& archivePath, const std::string& fileList, BackupModeEnum mode,
                       bool compressedContent, const std::string& password,
                       std::optional<std::int32_t> level) {
  Trapped("ZipFiles", [&](Procedure& at) {
    at();
    std::string caption = GetMessageText(9);
    operation_.RaiseUpdateProgress(0, caption);
    at();
    ZipHandler handler(*this, operation_, caption, archivePath);
    zip::ZipControl packer(&handler, operation_.drive());
    SetUpPacker(packer, archivePath, mode, compressedContent, password, level);
    at();
    packer.SetFileList(fileList);
    at();
    packer.Pack();
  });
}

struct ArchivePacking::Parts {
  Parts(Archive& archive, Operation& operation, std::string archivePath)
      : operation(operation),
        caption(GetMessageText(9)),
        handler(archive, operation, caption, archivePath),
        packer(&handler, operation.drive()) {}

  Operation& operation;
  std::string caption;
  ZipHandler handler;
  zip::ZipControl packer;
  std::unique_ptr<zip::ZipWriting> writing;
};

ArchivePacking::ArchivePacking(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
ArchivePacking::~ArchivePacking() = default;

utils::ByteSink& ArchivePacking::Member(std::size_t index) {
  return parts_->writing->Member(index);
}

void ArchivePacking::EndMember(std::size_t index) {
  parts_->writing->EndMember(index);
}

void ArchivePacking::Finish() {
  Trapped("ZipFiles", [&](Procedure& at) {
    at();
    parts_->operation.RaiseUpdateProgress(0, parts_->caption);
    at();
    parts_->writing->Finish();
  });
}

std::unique_ptr<ArchivePacking> Archive::BeginZip(const std::string& archivePath, const std::string& fileList,
                                                  const std::vector<std::string>& written,
                                                  BackupModeEnum mode, const std::string& password,
                                                  std::optional<std::int32_t> level) {
  return Trapped("ZipFiles", [&](Procedure& at) -> std::unique_ptr<ArchivePacking> {
    at();
    auto parts = std::make_unique<ArchivePacking::Parts>(*this, operation_, archivePath);
    SetUpPacker(parts->packer, archivePath, mode, false, password, level);
    if (!parts->packer.CanPackWhileWriting()) return nullptr;
    at();
    parts->packer.SetFileList(fileList);
    at();
    parts->writing = parts->packer.Begin({written.begin(), written.end()});
    return std::make_unique<ArchivePacking>(std::move(parts));
  });
}

std::string Archive::UnzipFiles(const std::string& archivePath, bool& unpacked, const std::string& password,
                                bool& encrypted, const zip::LeavePacked& leavePacked,
                                std::unique_ptr<zip::ArchiveReader>* packed) {
  return Trapped("UnzipFiles", [&](Procedure& at) {
    at();
    std::string caption = GetMessageText(33);
    operation_.RaiseUpdateProgress(0, caption);
    at();
    UnzipHandler handler(*this, operation_, caption);
    zip::UnzipControl unpacker(&handler, operation_.drive());
    unpacker.SetDestination(operation_.workFolder().Get());
    unpacker.SetArchivePath(archivePath);
    unpacker.SetPassword(password);
    unpacker.SetLeavePacked(leavePacked);
    try {
      at();
      unpacker.Unpack();
      if (packed != nullptr) *packed = unpacker.TakeArchive();
    } catch (const Error& error) {
      // A readable file that is no zip archive at all holds nothing of the current layout.
      if (error.Number() != zip::kNotZipArchive) throw;
    }
    unpacked = handler.unpacked;
    encrypted = unpacker.Encrypted();
    return handler.restoreFolder;
  });
}

}  // namespace vela
