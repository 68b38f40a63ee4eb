// APMTCFDataGenerator: a settable bag of the twelve values of an APMTCFData, used to rebuild a
// snapshot from the TCF client's persisted copy. Every value starts absent (and the switch off);
// generateData() makes a snapshot from the current values.
//
// Thread safety: none; used where its snapshot is used.
#pragma once

#include "analytics/config/tcf_data.h"

struct APMTCFDataGenerator : APMTCFValues {
  // A new snapshot of the current values.
  APMTCFData generateData() const { return APMTCFData(*this); }
};
