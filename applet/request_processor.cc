#include "applet/request_processor.h"

#include "log/logger.h"
#include "storage/data_controller.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace mfab {

RequestProcessor::RequestProcessor(const DataController& controller)
    : dataController(&controller) {}

Bytes RequestProcessor::ProcessSaveRequest(const Message& request) {
  KS_LOG(AuthenticateLoggerService::Instance(), kLogInfo, "FLOW", "Save file request");
  SaveRequest save;
  save.Deserialize(request.payload);
  dataController->SaveSecureDataFiles(save);

  SaveResponse response;
  response.result = 1;
  Message answer;
  answer.moduleId = request.moduleId;
  answer.messageType = message_type::kSaveResponse;
  answer.category = 0;
  answer.payload = response.Serialize();
  answer.isResponse = true;
  answer.sessionId = request.sessionId;
  return answer.Serialize();
}

}  // namespace mfab
