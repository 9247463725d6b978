#pragma once

#include "tlv/message.h"
#include "tlv/tlv.h"

namespace mfab {

class DataController;

// Produces the engine's answers to the applet's requests for host work that touch stored data.
// Stateless apart from its collaborator; used on the thread that handles the applet's reply.
class RequestProcessor {
 public:
  // controller is borrowed and must outlive the object.
  explicit RequestProcessor(const DataController& controller);

  // Stores the files of a SaveRequest (_masterVersions, then the second file, then the first)
  // and returns the serialized SaveResponse message (result 1) that echoes the request's
  // moduleId and sessionId. Throws TlvException for a malformed payload and what the data
  // directory throws; files written before a failure stay written.
  Bytes ProcessSaveRequest(const Message& request);

 private:
  const DataController* dataController;
};

}  // namespace mfab
