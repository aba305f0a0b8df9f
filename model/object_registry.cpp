#include "model/object_registry.h"

#include "model/comm_block.h"
#include "model/dravik_doc.h"
#include "model/serial_port.h"
#include "model/station_info.h"

namespace dravik {

std::unique_ptr<CPersistentObject> CreateObjectByName(const std::string& name) {
  if (name == CStationInfoDVK::kClassName) return std::make_unique<CStationInfoDVK>();
  if (name == CCommBlockDVK::kClassName) return std::make_unique<CCommBlockDVK>();
  if (name == CSerialPort::kClassName) return std::make_unique<CSerialPort>();
  if (name == CDravikNetDoc::kClassName) return std::make_unique<CDravikNetDoc>();
  return nullptr;
}

}  // namespace dravik
