#pragma once
// Node and block identifiers ([MS-PST] 2.2.2.1-2.2.2.2) and the fixed NIDs of
// a store ([MS-PST] 2.4.1).
#include <cstdint>

namespace pst::ndb {

enum NidType : uint8_t {
    NID_TYPE_HID = 0x00,
    NID_TYPE_INTERNAL = 0x01,
    NID_TYPE_NORMAL_FOLDER = 0x02,
    NID_TYPE_SEARCH_FOLDER = 0x03,
    NID_TYPE_NORMAL_MESSAGE = 0x04,
    NID_TYPE_ATTACHMENT = 0x05,
    NID_TYPE_SEARCH_UPDATE_QUEUE = 0x06,
    NID_TYPE_SEARCH_CRITERIA_OBJECT = 0x07,
    NID_TYPE_ASSOC_MESSAGE = 0x08,
    NID_TYPE_CONTENTS_TABLE_INDEX = 0x0A,
    NID_TYPE_RECEIVE_FOLDER_TABLE = 0x0B,
    NID_TYPE_OUTGOING_QUEUE_TABLE = 0x0C,
    NID_TYPE_HIERARCHY_TABLE = 0x0D,
    NID_TYPE_CONTENTS_TABLE = 0x0E,
    NID_TYPE_ASSOC_CONTENTS_TABLE = 0x0F,
    NID_TYPE_SEARCH_CONTENTS_TABLE = 0x10,
    NID_TYPE_ATTACHMENT_TABLE = 0x11,
    NID_TYPE_RECIPIENT_TABLE = 0x12,
    NID_TYPE_SEARCH_TABLE_INDEX = 0x13,
    NID_TYPE_LTP = 0x1F,
};

constexpr uint32_t MakeNid(uint32_t index, uint8_t type) { return (index << 5) | type; }
constexpr uint8_t NidTypeOf(uint32_t nid) { return uint8_t(nid & 0x1F); }
constexpr uint32_t NidIndexOf(uint32_t nid) { return nid >> 5; }
// The node of the same folder with another type (a folder's four nodes share an index).
constexpr uint32_t WithType(uint32_t nid, uint8_t type) { return (nid & ~0x1Fu) | type; }

inline constexpr uint32_t NID_MESSAGE_STORE = 0x21;
inline constexpr uint32_t NID_NAME_TO_ID_MAP = 0x61;
inline constexpr uint32_t NID_ROOT_FOLDER = 0x122;
inline constexpr uint32_t NID_SEARCH_MANAGEMENT_QUEUE = 0x1E1;
inline constexpr uint32_t NID_SEARCH_ACTIVITY_LIST = 0x201;
inline constexpr uint32_t NID_SEARCH_DOMAIN_OBJECT = 0x261;
inline constexpr uint32_t NID_HIERARCHY_TABLE_TEMPLATE = 0x60D;
inline constexpr uint32_t NID_CONTENTS_TABLE_TEMPLATE = 0x60E;
inline constexpr uint32_t NID_ASSOC_CONTENTS_TABLE_TEMPLATE = 0x60F;
inline constexpr uint32_t NID_SEARCH_CONTENTS_TABLE_TEMPLATE = 0x610;
inline constexpr uint32_t NID_RECEIVE_FOLDER_TABLE = 0x62B;
inline constexpr uint32_t NID_OUTGOING_QUEUE_TABLE = 0x64C;
inline constexpr uint32_t NID_ATTACHMENT_TABLE = 0x671;
inline constexpr uint32_t NID_RECIPIENT_TABLE = 0x692;
inline constexpr uint32_t NID_CHANGE_HISTORY_TABLE_TEMPLATE = 0x6B6;
inline constexpr uint32_t NID_TOMBSTONE_TABLE_TEMPLATE = 0x6D7;
inline constexpr uint32_t NID_TOMBSTONE_DATE_TABLE_TEMPLATE = 0x6F8;

// Block sizes ([MS-PST] 2.2.2.8).
inline constexpr size_t kMaxBlockData = 8176;
inline constexpr size_t kXBlockFanout = 1021;   // (8176 - 8) / 8
inline constexpr size_t kSlBlockFanout = 340;   // (8176 - 8) / 24
inline constexpr size_t kSiBlockFanout = 510;   // (8176 - 8) / 16

}  // namespace pst::ndb
