#include "analytics/attribution/search_ad_reporter.h"

#include <cmath>

#include "analytics/attribution/saturating_int.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/aeu.h"
#include "analytics/foundation/alarm.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/foundation/persisted_config.h"
#include "platform/foundation/json_serialization.h"
#include "platform/vendor/utilities/network.h"

namespace {

constexpr double kDay = 86400;
constexpr int64_t kMaxRetries = 9;

ZIVSearchAdReporterEnvironment Complete(ZIVSearchAdReporterEnvironment environment) {
  if (!environment.monitor) environment.monitor = ZIVMeasurement::monitor();
  if (!environment.clock) environment.clock = dispatch::Clock::current();
  if (!environment.classRegistry) {
    environment.classRegistry = &ZIVRuntimeClassRegistry::sharedRegistry();
  }
  if (!environment.transport) environment.transport = std::make_shared<ZUZOzuriviCurlTransport>();
  return environment;
}

// A number's or string's text ("stringValue"); empty for anything else.
std::string StringValue(const fnd::Value* value) {
  if (value == nullptr) return std::string();
  if (value->isString()) return value->asString();
  if (value->isInt()) return std::to_string(value->asInt());
  if (value->isBool()) return value->asBool() ? "1" : "0";
  if (value->isDouble()) return value->description();
  return std::string();
}

bool IsSuccessStatus(int64_t status) { return status >= 200 && status < 300; }

}  // namespace

ZIVSearchAdReporter::ZIVSearchAdReporter(std::shared_ptr<dispatch::Queue> workerQueue,
                                         std::shared_ptr<ZIVPersistedConfig> persistedConfig,
                                         Environment environment)
    : workerQueue_(std::move(workerQueue)),
      persistedConfig_(std::move(persistedConfig)),
      environment_(Complete(std::move(environment))),
      alarm_(std::make_shared<ZIVAlarm>(workerQueue_, kZIVSearchAdReportAlarmName,
                                        environment_.monitor, environment_.clock)) {}

std::shared_ptr<ZIVSearchAdReporter> ZIVSearchAdReporter::initWithWorkerQueue(
    std::shared_ptr<dispatch::Queue> workerQueue,
    std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment) {
  auto monitor = environment.monitor ? environment.monitor : ZIVMeasurement::monitor();
  if (!workerQueue) {
    monitor->logWithLevel(2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    monitor->logWithLevel(2, 32001,
                          "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() > kMaxRetries) return nullptr;
  if (persistedConfig->searchAdCampaignValue()) {
    monitor->logWithLevel(7, 32002,
                          "Search Ad campaign attribution was already reported. Do not start "
                          "Search Ad Reporter.");
    return nullptr;
  }
  return std::shared_ptr<ZIVSearchAdReporter>(new ZIVSearchAdReporter(
      std::move(workerQueue), std::move(persistedConfig), std::move(environment)));
}

ZIVSearchAdReporter::~ZIVSearchAdReporter() { cancelScheduling(); }

std::shared_ptr<AAAttribution> ZIVSearchAdReporter::adClientInstance() const {
  return std::dynamic_pointer_cast<AAAttribution>(
      environment_.classRegistry->classNamed(kAAAttributionClassName));
}

std::shared_ptr<ZIVAlarm> ZIVSearchAdReporter::alarm() const {
  std::lock_guard<std::mutex> lock(mu_);
  return alarm_;
}

void ZIVSearchAdReporter::setSearchAdReporterEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  enabled_ = enabled;
}

bool ZIVSearchAdReporter::isSearchAdReporterEnabled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return enabled_;
}

void ZIVSearchAdReporter::start() {
  ZIVMonitor& monitor = *environment_.monitor;
  if (!adClientInstance()) {
    monitor.logWithLevel(7, 32014,
                         "AdServices framework is not linked. Search Ad Attribution Reporter is "
                         "disabled.");
    return;
  }
  if (APMAEU::isNOD()) {
    monitor.logWithLevel(7, 32019, "Search Ad Attribution Reporter is disabled on the simulator");
    return;
  }
  scheduleSearchAdReport();
}

void ZIVSearchAdReporter::cancelScheduling() {
  std::shared_ptr<ZIVAlarm> alarm;
  {
    std::lock_guard<std::mutex> lock(mu_);
    alarm.swap(alarm_);
  }
  if (alarm) alarm->cancel();
}

void ZIVSearchAdReporter::scheduleSearchAdReport() {
  ZIVMonitor& monitor = *environment_.monitor;
  std::shared_ptr<ZIVAlarm> alarm = this->alarm();
  if (!alarm) {
    monitor.logWithLevel(5, 32013, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!isSearchAdReporterEnabled()) {
    alarm->cancel();
    return;
  }
  if (persistedConfig_->searchAdCampaignValue()) {
    monitor.logWithLevel(7, 32004,
                         "Search Ad report not scheduled. Search Ad campaign attribution was "
                         "already reported.");
    cancelScheduling();
    return;
  }
  if (alarm->scheduledTimestamp()) {
    monitor.logWithLevel(5, 32005, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() > kMaxRetries) {
    monitor.logWithLevel(5, 32007,
                         "Search Ad Campaign attribution exceeds the max number of retries. Do "
                         "not schedule again.");
    cancelScheduling();
    return;
  }
  monitor.logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
  const double sinceLast =
      std::fabs(environment_.clock->wallTime() - persistedConfig_->lastSearchAdLookUpTimestamp());
  const double delay = std::max(0.0, kDay - sinceLast);
  std::weak_ptr<ZIVSearchAdReporter> weakSelf = shared_from_this();
  alarm->runAfterDelay(delay, [weakSelf] {
    if (auto self = weakSelf.lock()) self->maybeLogIAdCampaignEvent();
  });
}

void ZIVSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance()) return;
  persistedConfig_->setLastSearchAdLookUpTimestamp(environment_.clock->wallTime());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void ZIVSearchAdReporter::fetchAttributionDetails() {
  persistedConfig_->setSearchAdRetryCount(
      ZIVSaturatingAdd(persistedConfig_->searchAdRetryCount(), 1));
  std::shared_ptr<AAAttribution> client = adClientInstance();
  if (!client || !client->respondsToSelector("attributionTokenWithError:")) return;
  fnd::Error error;
  std::optional<std::string> token = client->attributionTokenWithError(&error);
  if (!token) {
    environment_.monitor->logWithLevel(
        1, 32018, "Cannot send request for Search Ad campaign attribution. Error",
        ZIVErrorContext(error));
    return;
  }
  if (!token->empty()) requestAttributionPayloadWithToken(*token);
}

void ZIVSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
  if (token.empty()) return;
  ZUZOzuriviRequest request;
  request.method = "POST";
  request.url = environment_.attributionURL;
  request.headers = {{"cache-control", "no-cache"}, {"Content-Type", "text/plain"}};
  request.body.assign(token.begin(), token.end());
  request.timeout = 10;
  std::weak_ptr<ZIVSearchAdReporter> weakSelf = shared_from_this();
  std::shared_ptr<dispatch::Queue> queue = workerQueue_;
  environment_.transport->performRequest(
      std::move(request), [weakSelf, queue](ZUZOzuriviTransportResult result) {
        // Scheduling and the stored flag live on the worker queue.
        queue->async([weakSelf, result = std::move(result)] {
          auto self = weakSelf.lock();
          if (!self) return;
          self->handleResponse(result.response ? result.response->statusCode : 0, result.body,
                               result.error);
        });
      });
}

void ZIVSearchAdReporter::handleResponse(int64_t status, const fnd::Data& body,
                                         const std::optional<fnd::Error>& error) {
  ZIVMonitor& monitor = *environment_.monitor;
  if (error || !IsSuccessStatus(status)) {
    const fnd::Error failure =
        error ? *error
              : fnd::Error::withDescription(kZUZOzuriviErrorDomain, status,
                                            "HTTP status " + std::to_string(status));
    monitor.logWithLevel(1, 32015, "Cannot send request for Search Ad campaign attribution. Error",
                         ZIVErrorContext(failure));
    scheduleSearchAdReport();
    return;
  }
  fnd::Error parseError;
  std::optional<fnd::Value> object = fnd::JSONObjectWithData(body, &parseError);
  if (!object) {
    monitor.logWithLevel(1, 32017, "Search Ad Reporter failed to parse JSON data. Error",
                         ZIVErrorContext(parseError));
    scheduleSearchAdReport();
    return;
  }
  if (!object->isDictionary() || object->dictionary()->empty()) {
    scheduleSearchAdReport();
    return;
  }
  const fnd::Dictionary& answer = *object->dictionary();
  const std::string adID = StringValue(answer.find(fnd::Value("adId")));
  const std::string campaignID = StringValue(answer.find(fnd::Value("campaignId")));
  if (adID == kZIVSearchAdTestIdentifier && campaignID == kZIVSearchAdTestIdentifier) {
    monitor.logWithLevel(7, 32016, "Search Ad Reporter returned test data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  const fnd::Value* attribution = answer.find(fnd::Value("attribution"));
  const bool isSearchAd =
      attribution && (attribution->isBool() || attribution->isNumber()) && attribution->asBool();
  logCampaignEventWithSearchAdCampaign(isSearchAd, campaignID,
                                       StringValue(answer.find(fnd::Value("keywordId"))));
  cancelScheduling();
}

void ZIVSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool isSearchAdCampaign,
                                                               const std::string& campaign,
                                                               const std::string& term) {
  ZIVMonitor& monitor = *environment_.monitor;
  {
    std::lock_guard<std::mutex> lock(campaignMutex_);
    if (persistedConfig_->searchAdCampaignValue()) {
      monitor.logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
      return;
    }
    persistedConfig_->setSearchAdCampaignValue(fnd::Value::Int64(isSearchAdCampaign ? 1 : 0));
  }
  if (!isSearchAdCampaign) return;
  fnd::Dictionary parameters{{"source", "Apple"}, {"medium", "search"}};
  if (!campaign.empty()) parameters.set(fnd::Value("campaign"), fnd::Value(campaign));
  if (!term.empty()) parameters.set(fnd::Value("term"), fnd::Value(term));
  const int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  if (firstOpen >= 2) {
    parameters.set(fnd::Value("click_timestamp"), fnd::Value::Int64(firstOpen - 1));
  } else {
    monitor.logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
  }
  if (environment_.logInternalEvent) environment_.logInternalEvent("auto", "_cmp", parameters);
}
