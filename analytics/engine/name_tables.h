// The engine's naming vocabulary: the tables that map the public (long) names of automatically
// logged events, event parameters and user properties to the short internal names (beginning with
// "_") under which the engine stores and uploads them, the inverse event table, the names of the
// error-event codes, and the fixed name lists that the event rules share.
//
// Every table is an immutable fnd::Dictionary built once per process on first use and kept in the
// order of its definition; the keys and values of the name tables are strings, the keys of the
// error-code table are integers.
//
// Thread safety: built under once-only initialisation and read-only afterwards; read from any
// thread.
#pragma once

#include <string_view>

#include "platform/foundation/value.h"

// Public event name -> internal event name (32 entries; "ra_campaign" and "zudiroru_campaign"
// both map to "_cmp").
const fnd::Dictionary& ZIVInternalEventNames();
// Internal event name -> public event name, the inverse of ZIVInternalEventNames(). For "_cmp"
// one of its two public names wins.
const fnd::Dictionary& ZIVExternalEventNames();
// The reserved event names that the app may still log under their public names: "ad_impression"
// -> "_ai" and "in_app_purchase" -> "_iap".
const fnd::Dictionary& ZIVInternalEventNamesByPublicEventNames();
// Public parameter name -> internal parameter name (55 entries onto 42 internal names).
const fnd::Dictionary& ZIVInternalParameterNames();
// Public user property name -> internal user property name (10 entries).
const fnd::Dictionary& ZIVInternalUserPropertyNames();
// Error code (integer) -> its name, for log output only (25 entries; 24 to 27 have none).
const fnd::Dictionary& ZIVErrorEventCodeNames();

// The prefix of parameters that belong to another advertising SDK.
inline constexpr const char* APMGADPrefix = "gad_";
// The name of the only parameter that may hold an array.
inline constexpr const char* ZIVEventItemsParameterName = "items";

// Membership tests of the fixed name lists (exact, case-sensitive).
// The 20 ecommerce events, the only events that may carry an array parameter.
bool ZIVIsEcommerceEventNameInList(std::string_view name);
// The 33 predefined ecommerce item parameters, which never count as custom parameters.
bool ZIVIsPredefinedEcommerceItemParameterInList(std::string_view name);
// The 6 conversion event names ("ecommerce_purchase", "_f", "_iap", "in_app_purchase",
// "purchase", "refund").
bool ZIVIsConversionEventNameInList(std::string_view name);
// The 4 purchase event names ("_iap", "purchase", "in_app_purchase", "ecommerce_purchase").
bool ZIVIsPurchaseEventNameInList(std::string_view name);
