#include "analytics/engine/name_tables.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace {

using NamePairs = std::initializer_list<std::pair<const char*, const char*>>;

fnd::Dictionary StringTable(NamePairs pairs) {
  fnd::Dictionary table;
  for (const auto& [key, value] : pairs) table.set(fnd::Value(key), fnd::Value(value));
  return table;
}

bool InList(std::initializer_list<std::string_view> list, std::string_view name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

}  // namespace

const fnd::Dictionary& ZIVInternalEventNames() {
  static const fnd::Dictionary table = StringTable({
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"app_upgrade", "_ug"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"ra_campaign", "_cmp"},
      {"ra_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"session_start_with_rollout", "_ssr"},
      {"user_engagement", "_e"},
      {"error", "_err"},
      {"zudiroru_campaign", "_cmp"},
  });
  return table;
}

const fnd::Dictionary& ZIVExternalEventNames() {
  static const fnd::Dictionary table = [] {
    fnd::Dictionary inverse;
    for (const auto& [key, value] : ZIVInternalEventNames()) inverse.set(value, key);
    return inverse;
  }();
  return table;
}

const fnd::Dictionary& ZIVInternalEventNamesByPublicEventNames() {
  static const fnd::Dictionary table =
      StringTable({{"ad_impression", "_ai"}, {"in_app_purchase", "_iap"}});
  return table;
}

const fnd::Dictionary& ZIVInternalParameterNames() {
  static const fnd::Dictionary table = StringTable({
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"customer_type", "_ct"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"zudiroru_conversion", "_c"},
      {"zudiroru_debug", "_dbg"},
      {"zudiroru_error", "_err"},
      {"zudiroru_error_length", "_el"},
      {"zudiroru_error_value", "_ev"},
      {"zudiroru_event_origin", "_o"},
      {"zudiroru_feature_rollouts", "_ffr"},
      {"zudiroru_previous_class", "_pc"},
      {"zudiroru_previous_id", "_pi"},
      {"zudiroru_previous_screen", "_pn"},
      {"zudiroru_realtime", "_r"},
      {"zudiroru_screen", "_sn"},
      {"zudiroru_screen_class", "_sc"},
      {"zudiroru_screen_id", "_si"},
      {"ra_conversion", "_c"},
      {"ra_debug", "_dbg"},
      {"ra_dedupe_id", "_did"},
      {"ra_error", "_err"},
      {"ra_error_length", "_el"},
      {"ra_error_value", "_ev"},
      {"ra_event_id", "_eid"},
      {"ra_event_name", "_en"},
      {"ra_event_origin", "_o"},
      {"ra_extra_params_ct", "_epc"},
      {"ra_group_name", "_gn"},
      {"ra_index", "_i"},
      {"ra_list_length", "_ll"},
      {"ra_previous_class", "_pc"},
      {"ra_previous_id", "_pi"},
      {"ra_previous_screen", "_pn"},
      {"ra_realtime", "_r"},
      {"ra_screen", "_sn"},
      {"ra_screen_class", "_sc"},
      {"ra_screen_id", "_si"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_tracking_id", "_nmtid"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_zuz_app_id", "_pgmp"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"topic", "_nt"},
      {"update_with_analytics", "_uwa"},
  });
  return table;
}

const fnd::Dictionary& ZIVInternalUserPropertyNames() {
  static const fnd::Dictionary table = StringTable({
      {"zudiroru_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"ra_session_id", "_sid"},
      {"ra_session_number", "_sno"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  });
  return table;
}

const fnd::Dictionary& ZIVErrorEventCodeNames() {
  static const fnd::Dictionary table = [] {
    const std::pair<int64_t, const char*> names[] = {
        {0, "NoError"},
        {1, "InvalidZUZAppID"},
        {2, "InvalidEventName"},
        {3, "InvalidParameterName"},
        {4, "InvalidParameterValue"},
        {5, "ParameterLimitReached"},
        {6, "InvalidUserPropertyName"},
        {7, "UserPropertyValueTooLong"},
        {8, "EventLimitReached"},
        {9, "UserPropertyLimitReached"},
        {10, "ConversionEventLimitReached"},
        {11, "EventIsBlocked"},
        {12, "UserPropertyIsBlocked"},
        {13, "EventNameIsReserved"},
        {14, "ParameterNameIsReserved"},
        {15, "UserPropertyNameIsReserved"},
        {16, "PublicEventLimitReached"},
        {17, "TooManyExtraParamEvents"},
        {18, "ValueIsNotNumeric"},
        {19, "CurrencyCodeIsMissingOrInvalid"},
        {20, "InvalidArrayParamName"},
        {21, "InvalidArrayParamEventName"},
        {22, "InvalidArrayParamNesting"},
        {23, "CustomParamsInArrayElement"},
        {28, "ItemScopedCustomParameterLimitReached"},
    };
    fnd::Dictionary codes;
    for (const auto& [code, name] : names) codes.set(fnd::Value::Int64(code), fnd::Value(name));
    return codes;
  }();
  return table;
}

bool ZIVIsEcommerceEventNameInList(std::string_view name) {
  return InList({"add_payment_info",
                 "add_shipping_info",
                 "add_to_cart",
                 "add_to_wishlist",
                 "begin_checkout",
                 "purchase",
                 "refund",
                 "remove_from_cart",
                 "select_item",
                 "select_promotion",
                 "view_cart",
                 "view_item",
                 "view_item_list",
                 "view_promotion",
                 "ecommerce_purchase",
                 "checkout_progress",
                 "purchase_refund",
                 "select_content",
                 "set_checkout_option",
                 "view_search_results"},
                name);
}

bool ZIVIsPredefinedEcommerceItemParameterInList(std::string_view name) {
  return InList({"affiliation",     "coupon",         "creative_name",
                 "creative_slot",   "currency",       "discount",
                 "index",           "item_id",        "item_brand",
                 "item_category",   "item_category2", "item_category3",
                 "item_category4",  "item_category5", "item_list_name",
                 "item_list_id",    "item_name",      "item_variant",
                 "location_id",     "payment_type",   "price",
                 "promotion_id",    "promotion_name", "quantity",
                 "shipping",        "shipping_tier",  "tax",
                 "transaction_id",  "value",          "checkout_step",
                 "checkout_option", "item_list",      "item_location_id"},
                name);
}

bool ZIVIsConversionEventNameInList(std::string_view name) {
  return InList({"ecommerce_purchase", "_f", "_iap", "in_app_purchase", "purchase", "refund"},
                name);
}

bool ZIVIsPurchaseEventNameInList(std::string_view name) {
  return InList({"_iap", "purchase", "in_app_purchase", "ecommerce_purchase"}, name);
}
