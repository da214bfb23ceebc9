#include "component/Procedure.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

namespace vela {

std::string FormatErrorNumber(std::int32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(number)));
  return text;
}

std::string Procedure::Suffix() const {
  return " (VelaBackup.CBackup." + name_ + " component failure at line:" + std::to_string(line_) + ")";
}

Error CurrentExceptionAsError() {
  try {
    throw;
  } catch (const Error& error) {
    return error;
  } catch (const std::bad_alloc&) {
    return Error(kOutOfMemory, kSourceComponent, "Out of memory");
  } catch (const std::filesystem::filesystem_error& error) {
    return Error(kPathAccess, kSourceComponent, error.what());
  } catch (const std::exception& error) {
    return Error(kGeneralFailure, kSourceComponent, error.what());
  } catch (...) {
    return Error(kGeneralFailure, kSourceComponent, "Unknown failure");
  }
}

}  // namespace vela
