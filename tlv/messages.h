#pragma once

// Every message class of the applet channel, for code that needs many of them.

#include "tlv/client_messages.h"
#include "tlv/discovery_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/metadata.h"
#include "tlv/smart_card_messages.h"
#include "tlv/status_messages.h"
