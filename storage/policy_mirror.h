#pragma once

// The identifiers of the policy mirrored in the registry, as the data loader needs them
// (<DataMirror>\Factors\<factor id>, <DataMirror>\Actions\<action id>).

#include <string>
#include <vector>

namespace mfab {

// Implementations hold the policy-mirror lock for each read and only for the read: the applet
// queue's thread calls them while it builds a piggy-back block.
class IPolicyMirrorReader {
 public:
  virtual ~IPolicyMirrorReader() = default;

  // Factor identifiers in key order (byte-wise); empty when no policy is mirrored.
  // Throws ReadMirrorDataException when the mirror cannot be read.
  virtual std::vector<std::string> FactorIds() = 0;
  // Action identifiers in stored order; empty when no policy is mirrored.
  virtual std::vector<std::string> ActionIds() = 0;
};

}  // namespace mfab
