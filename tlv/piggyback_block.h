#pragma once

// The stored-data block (top-level item 0x0006) the engine appends to a request for the applet,
// and the data categories that select what goes into it. One home for the engine, the simulated
// applet and keystonectl; the layout is in docs/applet-protocol.md.
//
//   0x0006 {
//     0x7BAC { 0x7BAD <4-byte category code> ... }                       requested categories
//     0x7BAE { 0x7BAF { 0x7BB0 <full name> 0x7BB1 <content> } ... }      files, full-name order
//     0x7BB2 { [0x7BB3 <user SID>] [0x7BBA { 0x7BBB <factor id> ... }]
//              [0x7BBC { 0x7BBD <action id> ... }] }                      user section
//   }

#include <cstdint>

namespace mfab::data_category {

inline constexpr uint16_t kSystemFiles = 0x0001;
inline constexpr uint16_t kPolicy = 0x0002;
inline constexpr uint16_t kCertificate = 0x0003;
inline constexpr uint16_t kUserEnrollment = 0x0101;
inline constexpr uint16_t kUserActions = 0x0102;
inline constexpr uint16_t kFactorSystem = 0x0201;

// Group codes, which stand for every category of their group.
inline constexpr uint16_t kGroupSystem = 0x0000;
inline constexpr uint16_t kGroupUser = 0x0100;
inline constexpr uint16_t kGroupFactor = 0x0200;

}  // namespace mfab::data_category

namespace mfab::piggyback_tag {

inline constexpr uint16_t kBlock = 0x0006;
inline constexpr uint16_t kCategoryList = 0x7BAC;
inline constexpr uint16_t kCategory = 0x7BAD;
inline constexpr uint16_t kFileList = 0x7BAE;
inline constexpr uint16_t kFile = 0x7BAF;
inline constexpr uint16_t kFileName = 0x7BB0;
inline constexpr uint16_t kFileContent = 0x7BB1;
inline constexpr uint16_t kUserSection = 0x7BB2;
inline constexpr uint16_t kUser = 0x7BB3;
inline constexpr uint16_t kFactorIdList = 0x7BBA;
inline constexpr uint16_t kFactorId = 0x7BBB;
inline constexpr uint16_t kActionIdList = 0x7BBC;
inline constexpr uint16_t kActionId = 0x7BBD;

}  // namespace mfab::piggyback_tag
