#include "gateway/modbus/modbus_map.h"

#include <algorithm>

#include "model/device_areas.h"

namespace dravik::host {
namespace {

// Flat origins of the areas, by area index (I, O, FI, FO, C, IR, OR, R).
constexpr int kFlatBase[kAreaCount] = {0, 256, 512, 768, 1024, 0, 256, 512};

std::string ImageTagName(const std::string& station, const std::string& point) {
  return "modbus:" + station + "." + point;
}

void MapStationNumbers(const LineLayout& layout, ModbusMap* map) {
  map->unit_station.fill(-1);
  for (size_t s = 0; s < layout.stations.size(); ++s) {
    const int number = s < layout.station_numbers.size() ? layout.station_numbers[s] : -1;
    const std::string& name = layout.stations[s];
    if (number < 1 || number > 255) {
      map->warnings.push_back("station " + name + " has number " + std::to_string(number) +
                              ", which is no Modbus unit id (1..255); it is not served");
    } else if (const int twin = map->unit_station[static_cast<size_t>(number)]; twin >= 0) {
      map->warnings.push_back("stations " + layout.stations[static_cast<size_t>(twin)] + " and " +
                              name + " both have number " + std::to_string(number) + ": unit " +
                              std::to_string(number) + " serves " +
                              layout.stations[static_cast<size_t>(twin)]);
    } else {
      map->unit_station[static_cast<size_t>(number)] = static_cast<int>(s);
    }
  }
}

// One image tag for every word and bit of every block; a point two blocks
// share is served by the first, as the driver binds it.
void AddBlockPoints(const LineLayout& layout, int first_id, ModbusMap* map) {
  for (size_t s = 0; s < layout.blocks.size() && s < map->units.size(); ++s) {
    for (const BlockRange& b : layout.blocks[s]) {
      if (!IsValidArea(b.area)) continue;
      const bool bit = IsBitArea(b.area);
      for (int i = 0; i < b.count; ++i) {
        const int flat = bit ? FlatBit(b.area, b.start + i) : FlatWord(b.area, b.start + i);
        if (flat < 0) continue;
        ModbusPoint& p = bit ? map->units[s].bits[static_cast<size_t>(flat)]
                             : map->units[s].words[static_cast<size_t>(flat)];
        if (p.tag_id != 0) continue;
        const std::string address = kDeviceAreas[b.area].prefix + std::to_string(b.start + i);
        TagRow row;
        row.name = ImageTagName(layout.stations[s], address);
        row.device = "modbus." + layout.stations[s];
        row.address = address;
        row.type = bit ? kTypeBit : 4;  // a bit, or an unsigned 16-bit word
        row.length = bit ? 0 : 2;
        p.tag_id = first_id + static_cast<int>(map->image_tags.size());
        map->image_tags.push_back(row);
        map->image_stations.push_back(static_cast<int>(s));
      }
    }
  }
}

// A tag's own poller serves it outside every block: 16-bit integers and bits
// of a bit area map onto one point. A read-only tag makes what it covers
// read-only to Modbus writes too.
void AddTagPoints(const LineLayout& layout, ModbusMap* map) {
  for (size_t i = 0; i < layout.tags.size(); ++i) {
    const TagRow& t = layout.tags[i];
    const int s = i < layout.tag_stations.size() ? layout.tag_stations[i] : -1;
    if (s < 0 || static_cast<size_t>(s) >= map->units.size()) continue;
    int area = -1;
    uint32_t address = 0;
    TagBinding binding;
    binding.type = static_cast<uint16_t>(t.type);
    binding.bit_or_length = static_cast<uint16_t>(t.length);
    if (ParseTagAddress(t.address.c_str(), &area, &address, &binding) != 1) continue;
    const int id = static_cast<int>(i) + 1;
    const bool bit = IsBitArea(area);
    const int words = t.type == kTypeBit ? 1 : std::max(1, t.length / 2);
    for (int w = 0; w < (bit ? 1 : words); ++w) {
      const int flat = bit ? FlatBit(area, static_cast<int>(address))
                           : FlatWord(area, static_cast<int>(address) + w);
      if (flat < 0) continue;
      ModbusPoint& p = bit ? map->units[s].bits[static_cast<size_t>(flat)]
                           : map->units[s].words[static_cast<size_t>(flat)];
      const bool one_point =
          w == 0 &&
          (bit ? t.type == kTypeBit : (t.type == 1 || t.type == 3 || t.type == 4) && t.length == 2);
      if (p.tag_id == 0 && one_point) {
        p = ModbusPoint{id, t.writable, t.type == 1};
        map->by_tag[static_cast<size_t>(id)] = ImageRef{s, bit, flat, t.type == 1};
      } else if (p.tag_id != 0 && !t.writable) {
        p.writable = false;
      }
    }
  }
}

}  // namespace

int FlatWord(int area, int address) {
  if (!IsValidArea(area) || IsBitArea(area)) return -1;
  if (address < 1 || static_cast<uint32_t>(address) > kDeviceAreas[area].highest) return -1;
  return kFlatBase[area] + address - 1;
}

int FlatBit(int area, int address) {
  if (!IsValidArea(area) || !IsBitArea(area)) return -1;
  if (address < 1 || static_cast<uint32_t>(address) > kDeviceAreas[area].highest) return -1;
  return kFlatBase[area] + address - 1;
}

const ModbusPoint* ModbusMap::Word(size_t station, int flat) const {
  if (station >= units.size() || flat < 0 || flat >= kModbusWords) return nullptr;
  return &units[station].words[static_cast<size_t>(flat)];
}

const ModbusPoint* ModbusMap::Bit(size_t station, int flat) const {
  if (station >= units.size() || flat < 0 || flat >= kModbusBits) return nullptr;
  return &units[station].bits[static_cast<size_t>(flat)];
}

std::vector<const ModbusPoint*> ModbusMap::WritablePoints(size_t station, bool bit, int address,
                                                          int count) const {
  std::vector<const ModbusPoint*> points;
  for (int i = 0; i < count; ++i) {
    const ModbusPoint* p = bit ? Bit(station, address + i) : Word(station, address + i);
    if (p == nullptr || p->tag_id == 0 || !p->writable) return {};
    points.push_back(p);
  }
  return points;
}

ImageRef ModbusMap::Ref(int tag_id) const {
  if (tag_id < 0 || static_cast<size_t>(tag_id) >= by_tag.size()) return {};
  return by_tag[static_cast<size_t>(tag_id)];
}

ModbusMap BuildModbusMap(const LineLayout& layout) {
  ModbusMap map;
  map.units.resize(layout.stations.size());
  MapStationNumbers(layout, &map);
  const int first_id = static_cast<int>(layout.tags.size()) + 1;
  AddBlockPoints(layout, first_id, &map);
  map.by_tag.resize(static_cast<size_t>(first_id) + map.image_tags.size());
  for (size_t i = 0; i < map.image_tags.size(); ++i) {
    const TagRow& row = map.image_tags[i];
    const bool bit = row.type == kTypeBit;
    std::string rest;
    const int area = SplitAreaAddress(row.address, &rest);
    const int address = std::stoi(rest);
    map.by_tag[static_cast<size_t>(first_id) + i] = ImageRef{
        map.image_stations[i], bit, bit ? FlatBit(area, address) : FlatWord(area, address), false};
  }
  AddTagPoints(layout, &map);
  return map;
}

}  // namespace dravik::host
