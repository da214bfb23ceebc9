// Packing the working files into the backup file and unpacking a backup file into the work folder, with
// the controls' progress, disk prompts and stop replies turned into the component's own events.
#include "component/Component.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/text/Strings.h"
#include "platform/zip/UnzipControl.h"
#include "platform/zip/ZipControl.h"

namespace vela {

namespace {

constexpr std::int32_t kQuestionIcon = 32;

// The zip control's events, answered by the component.
class ZipHandler : public zip::ZipEvents {
 public:
  ZipHandler(Component& component, std::string archivePath)
      : component_(component), archivePath_(std::move(archivePath)) {}

  void MajorStatus(std::string&, std::int32_t& progress, std::int32_t& stop) override {
    if (component_.m_Cancel)
      stop = 1;
    else
      component_.RaiseUpdateProgress(progress, component_.m_ZipCaption);
  }
  void MinorStatus(std::string&, std::int32_t&, std::int32_t& stop) override {
    if (component_.m_Cancel) stop = 1;
  }
  void MessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                       std::int32_t& reply) override {
    component_.ZipMessageCallback(message, style, number, reply, archivePath_);
  }
  void RenameCallback(std::string& storedName, std::string& path) override {
    // The live database file of a direct copy travels under the fixed name of a database copy.
    std::string file = text::ReplaceAll(path, "/", "\\");
    std::string database = text::ReplaceAll(component_.m_AccessFilePath, "/", "\\");
    if (!database.empty() && text::EqualsNoCase(file, database)) storedName = kNativeBackupFileName;
  }

 private:
  Component& component_;
  std::string archivePath_;
};

class UnzipHandler : public zip::UnzipEvents {
 public:
  explicit UnzipHandler(Component& component) : component_(component) {}

  void MajorStatus(std::string&, std::int32_t& progress, std::int32_t& stop) override {
    if (component_.m_Cancel)
      stop = 1;
    else
      component_.RaiseUpdateProgress(progress, component_.m_UnzipCaption);
  }
  void MinorStatus(std::string&, std::int32_t&, std::int32_t& stop) override {
    if (component_.m_Cancel) stop = 1;
  }
  void MessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                       std::int32_t& reply) override {
    component_.UnzipMessageCallback(message, style, number, reply);
  }
  void RenameCallback(std::string& targetPath) override {
    // The folder that receives the backup document or the mode file is where the restore reads from.
    std::string name = component_.utils().NamePart(targetPath);
    if (text::EqualsNoCase(name, kDocumentFileName) || text::EqualsNoCase(name, kModeFileName))
      component_.m_RestoreFolder = component_.utils().ParentFolder(targetPath);
  }

 private:
  Component& component_;
};

}  // namespace

bool Component::IsDiskFull(const std::string& path) const {
  std::optional<std::uint64_t> free = drive_->FreeSpace(path);
  return !free || *free == 0;
}

void Component::ZipMessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                                   std::int32_t& reply, const std::string& archivePath) {
  Trapped("m_dynZip_ZipMessageCallback", [&](Procedure& at) {
    if (message == 0) {
      at();
      if (number == -1) {
        RaiseShowMessage(GetMessageText(24), style + kQuestionIcon, "{61E8BD2C-1EA6-43B7-AE15-11BA79C7BC21}",
                         reply);
        while (reply != kAnswerCancel && IsDiskFull(archivePath))
          RaiseShowMessage(GetMessageText(25), style + kQuestionIcon,
                           "{27730A94-C4AB-4812-B933-518B07F2998D}", reply);
      } else {
        RaiseShowMessage(GetMessageText(26, number), style + kQuestionIcon,
                         "{5024659B-0D51-467B-881F-D5CA2D7B6853}", reply);
        while (reply != kAnswerCancel && IsDiskFull(archivePath))
          RaiseShowMessage(GetMessageText(27, number), style + kQuestionIcon,
                           "{0DAAA17C-9E05-48A3-805B-C0E25D5FB0F9}", reply);
      }
      if (reply == kAnswerCancel) m_Cancel = true;
    } else if (message == 11) {
      reply = 1;
    } else {
      reply = -1;
    }
  });
}

void Component::UnzipMessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                                     std::int32_t& reply) {
  Trapped("m_dynUnZip_UnZipMessageCallback", [&](Procedure& at) {
    at();
    if (message == 0) {
      if (number == 0)
        RaiseShowMessage(GetMessageText(28), style + kQuestionIcon, "{CF02F0C4-CE7D-45CE-94BD-5BC04AD12481}",
                         reply);
      else
        RaiseShowMessage(GetMessageText(26, number), style + kQuestionIcon,
                         "{927B8A3B-CC14-441C-AC50-BA8669ACC686}", reply);
    } else if (message == 1 || message == 8) {
      if (number == 1)
        RaiseShowMessage(GetMessageText(26, 1), style + kQuestionIcon,
                         "{E87C0584-304A-4E1A-825C-A7EA42722820}", reply);
    } else if (message == 11) {
      reply = 1;
    } else {
      reply = -1;
    }
    if (reply == kAnswerCancel) m_Cancel = true;
  });
}

void Component::ZipFiles(const std::string& archivePath, const std::string& fileList) {
  Trapped("ZipFiles", [&](Procedure& at) {
    at();
    m_ZipCaption = GetMessageText(9);
    RaiseUpdateProgress(0, m_ZipCaption);
    at();
    ZipHandler handler(*this, archivePath);
    zip::ZipControl packer(&handler, *drive_);
    packer.SetCompressionLevel(m_BackupMode == bmUncompressedTextFile ? 0 : 9);
    packer.SetArchivePath(archivePath);
    at();
    packer.SetFileList(fileList);
    at();
    packer.Pack();
  });
}

void Component::UnzipFiles(const std::string& archivePath) {
  Trapped("UnzipFiles", [&](Procedure& at) {
    at();
    m_UnzipCaption = GetMessageText(33);
    RaiseUpdateProgress(0, m_UnzipCaption);
    at();
    UnzipHandler handler(*this);
    zip::UnzipControl unpacker(&handler, *drive_);
    unpacker.SetDestination(GetWorkFolder());
    unpacker.SetArchivePath(archivePath);
    try {
      at();
      unpacker.Unpack();
    } catch (const Error& error) {
      // A readable file that is no zip archive at all holds nothing of the current layout.
      if (error.Number() != zip::kNotZipArchive) throw;
    }
  });
}

}  // namespace vela
