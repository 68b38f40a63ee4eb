// The analytics wire messages: the 48 messages of package duvudiredururo with their
// apmpb_<verb>_<msg> families, kind tables, descriptors and APMPB<Msg> wrapper classes (generated
// from analytics/proto/duvudiredururo/*.proto), and the NANO field accessors.
#pragma once

#include "analytics/proto/field_accessors.h"
#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/proto/message_base.h"
#include "analytics/proto/message_info.h"
#include "analytics/proto/nano_codec.h"
