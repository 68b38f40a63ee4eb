#include "tools/collector/collector.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <sstream>

#include "analytics/foundation/additions.h"
#include "analytics/proto/messages.h"
#include "platform/security/digest.h"
#include "platform/security/gzip.h"

namespace collector {

namespace {

using Bundle = APMPBMeasurementBundle;

std::string Hex(const fnd::Data& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 15]);
  }
  return text;
}

Json ParamsJson(const fnd::Array& params) {
  Json object = Json::object();
  for (const fnd::Value& item : params) {
    auto param = item.recordAs<APMPBEventParam>();
    if (!param) continue;
    const std::string name = NANOGetString(param.get(), APMPBEventParam::kName).value_or("");
    if (NANOHasField(param.get(), APMPBEventParam::kStringValue)) {
      object[name] = NANOGetString(param.get(), APMPBEventParam::kStringValue).value_or("");
    } else if (NANOHasField(param.get(), APMPBEventParam::kIntValue)) {
      object[name] = NANOGetInt64(param.get(), APMPBEventParam::kIntValue);
    } else if (NANOHasField(param.get(), APMPBEventParam::kDoubleValue)) {
      object[name] = NANOGetDouble(param.get(), APMPBEventParam::kDoubleValue);
    } else {
      auto nested =
          NANOGetArray(param.get(), APMPBEventParam::kParams, &APMPBEventParam::messageClass());
      Json items = Json::array();
      for (const fnd::Value& inner : nested.value_or(fnd::Array())) {
        auto item = inner.recordAs<APMPBEventParam>();
        auto itemParams =
            NANOGetArray(item.get(), APMPBEventParam::kParams, &APMPBEventParam::messageClass());
        items.push_back(ParamsJson(itemParams.value_or(fnd::Array())));
      }
      object[name] = items;
    }
  }
  return object;
}

Json EventJson(const APMPBEvent& event) {
  Json json;
  json["name"] = NANOGetString(&event, APMPBEvent::kName).value_or("");
  json["timestamp_millis"] = NANOGetInt64(&event, APMPBEvent::kTimestampMillis);
  if (NANOHasField(&event, APMPBEvent::kPreviousTimestampMillis)) {
    json["previous_timestamp_millis"] = NANOGetInt64(&event, APMPBEvent::kPreviousTimestampMillis);
  }
  json["params"] =
      ParamsJson(NANOGetArray(&event, APMPBEvent::kParams, &APMPBEventParam::messageClass())
                     .value_or(fnd::Array()));
  return json;
}

Json UserPropertyJson(const APMPBUserAttribute& property) {
  Json json;
  json["name"] = NANOGetString(&property, APMPBUserAttribute::kName).value_or("");
  if (NANOHasField(&property, APMPBUserAttribute::kStringValue)) {
    json["value"] = NANOGetString(&property, APMPBUserAttribute::kStringValue).value_or("");
  } else if (NANOHasField(&property, APMPBUserAttribute::kIntValue)) {
    json["value"] = NANOGetInt64(&property, APMPBUserAttribute::kIntValue);
  } else if (NANOHasField(&property, APMPBUserAttribute::kDoubleValue)) {
    json["value"] = NANOGetDouble(&property, APMPBUserAttribute::kDoubleValue);
  } else {
    json["value"] = nullptr;
  }
  json["set_timestamp_millis"] = NANOGetInt64(&property, APMPBUserAttribute::kSetTimestampMillis);
  return json;
}

Json BundleJson(const std::shared_ptr<Bundle>& bundle) {
  Json json;
  struct StringField {
    const char* key;
    int32_t position;
  };
  const StringField strings[] = {
      {"app_id", Bundle::kAppId},
      {"app_version", Bundle::kAppVersion},
      {"platform", Bundle::kPlatform},
      {"os_version", Bundle::kOsVersion},
      {"device_model", Bundle::kDeviceModel},
      {"app_instance_id", Bundle::kAppInstanceId},
      {"resettable_device_id", Bundle::kResettableDeviceId},
      {"vendor_id", Bundle::kVendorId},
      {"ephemeral_app_instance_id", Bundle::kEphemeralAppInstanceId},
      {"session_stitching_token", Bundle::kSessionStitchingToken},
      {"consent_signals", Bundle::kConsentSignals},
      {"consent_diagnostics", Bundle::kConsentDiagnostics},
      {"core_platform_services", Bundle::kCorePlatformServices},
      {"monitoring_data", Bundle::kMonitoringData},
  };
  for (const StringField& field : strings) {
    if (NANOHasField(bundle.get(), field.position)) {
      json[field.key] = NANOGetString(bundle.get(), field.position).value_or("");
    }
  }
  struct IntField {
    const char* key;
    int32_t position;
    bool is32;
  };
  const IntField ints[] = {
      {"upload_timestamp_millis", Bundle::kUploadTimestampMillis, false},
      {"start_timestamp_millis", Bundle::kStartTimestampMillis, false},
      {"end_timestamp_millis", Bundle::kEndTimestampMillis, false},
      {"previous_bundle_start_timestamp", Bundle::kPreviousBundleStartTimestamp, false},
      {"previous_bundle_end_timestamp", Bundle::kPreviousBundleEndTimestamp, false},
      {"library_version", Bundle::kLibraryVersion, false},
      {"upload_library_version", Bundle::kUploadLibraryVersion, false},
      {"config_version", Bundle::kConfigVersion, false},
      {"checksum", Bundle::kBundleFingerprint, false},
      {"bundle_index", Bundle::kBundleIndex, true},
      {"delivery_index", Bundle::kDeliveryIndex, true},
      {"att_status", Bundle::kAttStatus, true},
  };
  for (const IntField& field : ints) {
    if (!NANOHasField(bundle.get(), field.position)) continue;
    if (field.is32) {
      json[field.key] = NANOGetInt32(bundle.get(), field.position);
    } else {
      json[field.key] = NANOGetInt64(bundle.get(), field.position);
    }
  }
  for (auto [key, position] : {std::pair{"dma_region", Bundle::kDmaRegion},
                               std::pair{"limited_ad_tracking", Bundle::kLimitedAdTracking}}) {
    if (NANOHasField(bundle.get(), position)) json[key] = NANOGetBool(bundle.get(), position);
  }
  if (NANOHasField(bundle.get(), Bundle::kBundleFingerprint)) {
    auto copy = Bundle::initWithMessageInfo(bundle->messageInfo());
    NANOClearField(copy.get(), Bundle::kBundleFingerprint);
    auto encoded = copy->protoBuffer();
    json["checksum_valid"] = encoded && static_cast<int64_t>(ziv_64LSBMD5(*encoded)) ==
                                            NANOGetInt64(bundle.get(), Bundle::kBundleFingerprint);
  }
  Json controls = Json::array();
  for (const auto& item :
       NANOGetArray(bundle.get(), Bundle::kRedactedFields, nullptr).value_or(fnd::Array())) {
    controls.push_back(item.asString());
  }
  if (!controls.empty()) json["data_controls"] = controls;
  Json experiments = Json::array();
  for (const auto& item :
       NANOGetArray(bundle.get(), Bundle::kExperimentIds, nullptr).value_or(fnd::Array())) {
    experiments.push_back(item.asInt());
  }
  if (!experiments.empty()) json["experiment_ids"] = experiments;
  const size_t audiences = NANOGetArray(bundle.get(), Bundle::kAudienceEvaluationResults,
                                        &APMPBAudienceLeafFilterResult::messageClass())
                               .value_or(fnd::Array())
                               .size();
  if (audiences) json["audience_results"] = audiences;
  Json events = Json::array();
  for (const auto& item : NANOGetArray(bundle.get(), Bundle::kEvents, &APMPBEvent::messageClass())
                              .value_or(fnd::Array())) {
    if (auto event = item.recordAs<APMPBEvent>()) events.push_back(EventJson(*event));
  }
  json["events"] = events;
  Json properties = Json::array();
  for (const auto& item :
       NANOGetArray(bundle.get(), Bundle::kUserAttributes, &APMPBUserAttribute::messageClass())
           .value_or(fnd::Array())) {
    if (auto property = item.recordAs<APMPBUserAttribute>()) {
      properties.push_back(UserPropertyJson(*property));
    }
  }
  json["user_properties"] = properties;
  return json;
}

std::optional<std::pair<std::string, Action>> ParseItem(const std::string& item) {
  const size_t equals = item.find('=');
  if (equals == std::string::npos) return std::nullopt;
  const std::string kind = item.substr(0, equals);
  const std::string spec = item.substr(equals + 1);
  if (kind != "upload" && kind != "config" && kind != "experiments" && kind != "any") {
    return std::nullopt;
  }
  Action action;
  try {
    if (spec == "drop") {
      action.kind = Action::Kind::kDrop;
    } else if (spec == "reset") {
      action.kind = Action::Kind::kReset;
    } else if (spec == "garbage") {
      action.kind = Action::Kind::kGarbage;
    } else if (spec == "big") {
      action.kind = Action::Kind::kBig;
    } else if (spec.rfind("delay:", 0) == 0) {
      action.kind = Action::Kind::kDelay;
      action.delayMs = std::stoi(spec.substr(6));
      if (action.delayMs < 0) return std::nullopt;
    } else {
      size_t used = 0;
      action.status = std::stoi(spec, &used);
      if (used != spec.size() || action.status < 100 || action.status > 599) return std::nullopt;
    }
  } catch (...) {
    return std::nullopt;
  }
  return std::pair{kind, action};
}

}  // namespace

std::optional<std::map<std::string, std::deque<Action>>> ParseScript(const std::string& text,
                                                                     std::string* error) {
  std::map<std::string, std::deque<Action>> script;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (item.empty()) continue;
    auto parsed = ParseItem(item);
    if (!parsed) {
      if (error) *error = "bad script item: " + item;
      return std::nullopt;
    }
    script[parsed->first].push_back(parsed->second);
  }
  return script;
}

std::optional<Json> DecodeBatch(const fnd::Data& bytes) {
  auto batch = APMPBMeasurementBatch::initWithBuffer(bytes);
  if (!batch) return std::nullopt;
  Json json;
  if (NANOHasField(batch.get(), APMPBMeasurementBatch::kUploadSubdomain)) {
    json["upload_subdomain"] =
        NANOGetString(batch.get(), APMPBMeasurementBatch::kUploadSubdomain).value_or("");
  }
  Json bundles = Json::array();
  for (const auto& item :
       NANOGetArray(batch.get(), APMPBMeasurementBatch::kBundles, &Bundle::messageClass())
           .value_or(fnd::Array())) {
    if (auto bundle = item.recordAs<Bundle>()) bundles.push_back(BundleJson(bundle));
  }
  json["bundles"] = bundles;
  return json;
}

std::optional<Json> DescribeExperimentRequest(const fnd::Data& bytes) {
  auto request = APMPBExperimentRequest::initWithBuffer(bytes);
  if (!request) return std::nullopt;
  return Json(request->description());
}

std::optional<Json> DescribeConfig(const fnd::Data& bytes) {
  auto config = APMPBMeasurementConfig::initWithBuffer(bytes);
  if (!config) return std::nullopt;
  Json json;
  json["app_id"] = NANOGetString(config.get(), APMPBMeasurementConfig::kAppId).value_or("");
  json["version"] = NANOGetInt64(config.get(), APMPBMeasurementConfig::kVersion);
  return json;
}

Collector::Collector(Options options) : options_(std::move(options)) {
  if (options_.config) etag_ = "\"" + Hex(security::MD5(*options_.config)) + "\"";
}

Collector::~Collector() { stop(); }

std::optional<Action> Collector::nextAction(const std::string& kind) {
  std::lock_guard<std::mutex> lock(mu_);
  ++requests_;
  for (const std::string& key : {kind, std::string("any")}) {
    auto it = options_.script.find(key);
    if (it != options_.script.end() && !it->second.empty()) {
      Action action = it->second.front();
      it->second.pop_front();
      return action;
    }
  }
  return std::nullopt;
}

void Collector::emit(const Json& line) {
  std::lock_guard<std::mutex> lock(mu_);
  if (options_.output) options_.output(line.dump());
}

namespace {

// Applies a scripted status or fault (not a delay); true when it produced the answer. Names the
// fault in `line`.
bool ApplyAction(const std::optional<Action>& action, httplib::Response& response, Json& line) {
  if (!action) return false;
  switch (action->kind) {
    case Action::Kind::kStatus:
      response.status = action->status;
      return true;
    case Action::Kind::kDelay:
      line["delay_ms"] = action->delayMs;
      return false;
    case Action::Kind::kDrop:
    case Action::Kind::kReset: {
      const size_t length = 8192;
      const size_t sent = action->kind == Action::Kind::kDrop ? 0 : length / 2;
      line["fault"] = action->kind == Action::Kind::kDrop ? "drop" : "reset";
      response.status = 200;
      response.set_content_provider(length, "application/octet-stream",
                                    [sent](size_t offset, size_t, httplib::DataSink& sink) {
                                      if (offset >= sent) return false;  // Closes the connection.
                                      std::string part(sent - offset, 'x');
                                      return sink.write(part.data(), part.size());
                                    });
      return true;
    }
    case Action::Kind::kGarbage: {
      std::string bytes(4096, '\0');
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xff - (i % 7));
      line["fault"] = "garbage";
      response.status = 200;
      response.set_content(bytes, "application/octet-stream");
      return true;
    }
    case Action::Kind::kBig:
      line["fault"] = "big";
      response.status = 200;
      response.set_content(std::string(10 * 1024 * 1024, '\x0a'), "application/octet-stream");
      return true;
  }
  return false;
}

// A scripted delay runs after the request has been reported, so that a watcher sees it while the
// answer is still held back.
void DelayIfScripted(const std::optional<Action>& action) {
  if (action && action->kind == Action::Kind::kDelay) {
    std::this_thread::sleep_for(std::chrono::milliseconds(action->delayMs));
  }
}

Json HeadersJson(const httplib::Request& request) {
  Json headers = Json::object();
  for (const auto& [name, value] : request.headers) {
    if (name == "If-Modified-Since" || name == "If-None-Match" || name == "Content-Encoding" ||
        name == "Content-Type" || name.rfind("x-", 0) == 0 || name.rfind("X-", 0) == 0) {
      headers[name] = value;
    }
  }
  return headers;
}

}  // namespace

bool Collector::start() {
  server_ = std::make_unique<httplib::Server>();
  server_->set_payload_max_length(64 * 1024 * 1024);
  server_->set_keep_alive_max_count(1);
  server_->Post(
      kExperimentsPath, [this](const httplib::Request& request, httplib::Response& response) {
        auto action = nextAction("experiments");
        Json line;
        line["request"] = "experiments";
        line["method"] = request.method;
        line["path"] = request.path;
        line["headers"] = HeadersJson(request);
        const fnd::Data body(request.body.begin(), request.body.end());
        line["body_size"] = body.size();
        if (auto described = DescribeExperimentRequest(body)) {
          line["experiment_request"] = *described;
        } else {
          line["error"] = "the body is not an experiment request";
        }
        if (!ApplyAction(action, response, line)) {
          // No experiments: an empty reply message, compressed as the service sends it.
          response.status = 200;
          const fnd::Data empty = security::Gzip(fnd::Data());
          response.set_content(std::string(empty.begin(), empty.end()), "application/octet-stream");
        }
        line["status"] = response.status;
        emit(line);
        DelayIfScripted(action);
      });
  server_->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
    auto action = nextAction("upload");
    Json line;
    line["request"] = "upload";
    line["method"] = request.method;
    line["path"] = request.path;
    line["headers"] = HeadersJson(request);
    const fnd::Data body(request.body.begin(), request.body.end());
    line["body_size"] = body.size();
    if (auto batch = DecodeBatch(body)) {
      line["batch"] = *batch;
    } else {
      line["error"] = "the body is not a measurement batch";
    }
    if (!ApplyAction(action, response, line)) response.status = 204;
    line["status"] = response.status;
    emit(line);
    DelayIfScripted(action);
  });
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    auto action = nextAction("config");
    Json line;
    line["request"] = "config";
    line["method"] = request.method;
    line["path"] = request.path;
    Json query = Json::object();
    for (const auto& [name, value] : request.params) query[name] = value;
    line["query"] = query;
    line["headers"] = HeadersJson(request);
    if (!ApplyAction(action, response, line)) {
      if (request.path.rfind("/config/app/", 0) != 0 || !options_.config) {
        response.status = 404;
      } else if (request.get_header_value("If-None-Match") == etag_) {
        response.status = 304;
        response.set_header("ETag", etag_);
      } else {
        response.status = 200;
        response.set_header("ETag", etag_);
        response.set_header("Last-Modified", "Tue, 14 Nov 2023 22:13:20 GMT");
        const fnd::Data& config = *options_.config;
        response.set_content(std::string(config.begin(), config.end()), "application/x-protobuf");
        if (auto described = DescribeConfig(config)) line["config"] = *described;
      }
    }
    line["status"] = response.status;
    emit(line);
    DelayIfScripted(action);
  });
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
  } else {
    if (!server_->bind_to_port("127.0.0.1", options_.port)) return false;
    port_ = options_.port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() must not overtake the listener's start.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void Collector::stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace collector
