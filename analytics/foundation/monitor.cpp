#include "analytics/foundation/monitor.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <utility>

#include "analytics/foundation/aeu.h"
#include "analytics/foundation/errors.h"
#include "analytics/foundation/user_defaults.h"
#include "platform/foundation/flush_at_exit.h"
#include "platform/foundation/process_info.h"

namespace {

constexpr const char* kDefaultLogTag = "<DuvUdiredururo>";
constexpr const char* kQueueLabel = "ZIVMonitorQueue";

// Launch arguments.
constexpr const char* kDebugOffArguments[] = {"-noZIVAnalyticsDebugEnabled",
                                              "-noDEVAzodavevuDebugEnabled", "-DEVDebugDisabled"};
constexpr const char* kDebugOnArguments[] = {"-ZIVAnalyticsDebugEnabled",
                                             "-DEVAzodavevuDebugEnabled", "-DEVDebugEnabled"};
constexpr const char* kVerboseOffArguments[] = {"-ZIVAnalyticsVerboseLoggingDisabled",
                                                "-DEVAzodavevuVerboseLoggingDisabled"};
constexpr const char* kVerboseOnArguments[] = {"-ZIVAnalyticsVerboseLoggingEnabled",
                                               "-DEVAzodavevuVerboseLoggingEnabled"};

template <size_t N>
bool HasAny(const std::vector<std::string>& arguments, const char* const (&wanted)[N]) {
  for (const char* w : wanted) {
    if (std::find(arguments.begin(), arguments.end(), w) != arguments.end()) return true;
  }
  return false;
}

bool IsKnownLevel(int64_t level) { return level >= 0 && level <= 8; }

std::string FormatDouble(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

// How the platform describes an object in a log line.
std::string DescribeContext(const fnd::Value& context) {
  switch (context.kind()) {
    case fnd::Value::Kind::kNull:
      return "(nil)";
    case fnd::Value::Kind::kString:
      return context.asString();
    case fnd::Value::Kind::kBool:
      return context.asBool() ? "1" : "0";
    case fnd::Value::Kind::kInt:
      return std::to_string(context.asInt());
    case fnd::Value::Kind::kDouble:
      return FormatDouble(context.asDouble());
    case fnd::Value::Kind::kRecord: {
      const auto& record = *context.record();
      if (const ZIVExceptionRecord* exception = ZIVExceptionFromContext(context)) {
        const std::string symbol = ZIVMonitor::lastZIVSymbolFromException(*exception);
        if (symbol.empty()) return exception->description();
        return symbol + ": " + exception->description();
      }
      std::string description = record->description();
      if (!description.empty()) return description;
      char buffer[32];
      std::snprintf(buffer, sizeof(buffer), "%p", static_cast<const void*>(record.get()));
      return "<" + record->typeName() + " " + buffer + ">";
    }
    default:
      return context.description();
  }
}

// "%lld" of a number up to 99 in absolute value, else its decade range.
std::string EncodeInteger(int64_t value) {
  const uint64_t magnitude =
      value < 0 ? static_cast<uint64_t>(-(value + 1)) + 1 : static_cast<uint64_t>(value);
  if (magnitude <= 99) return std::to_string(value);
  uint64_t decade = 1;
  while (decade <= magnitude / 10) decade *= 10;
  const uint64_t top = decade * 10 - 1;  // At most 10^19 - 1, which fits.
  char buffer[64];
  if (value < 0) {
    std::snprintf(buffer, sizeof(buffer), "-%" PRIu64 "...-%" PRIu64, top, decade);
  } else {
    std::snprintf(buffer, sizeof(buffer), "%" PRIu64 "...%" PRIu64, decade, top);
  }
  return buffer;
}

std::string EncodeDouble(double value) {
  if (!std::isfinite(value)) return "?";
  const double magnitude = std::fabs(value);
  if (magnitude <= 99) return std::to_string(static_cast<int64_t>(value));
  if (magnitude >= 9.2e18) {
    const int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
    char buffer[64];
    if (value < 0) {
      std::snprintf(buffer, sizeof(buffer), "-1e%d...-1e%d", exponent + 1, exponent);
    } else {
      std::snprintf(buffer, sizeof(buffer), "1e%d...1e%d", exponent, exponent + 1);
    }
    return buffer;
  }
  // In range of a 64-bit integer: the integer decade of the truncated value is the same.
  return EncodeInteger(static_cast<int64_t>(value));
}

std::vector<std::string> SplitWhitespace(const std::string& line) {
  std::vector<std::string> tokens;
  std::istringstream in(line);
  std::string token;
  while (in >> token) tokens.push_back(token);
  return tokens;
}

bool ContainsZIV(const std::string& symbol) {
  for (size_t i = 0; i + 3 <= symbol.size(); ++i) {
    if ((symbol[i] == 'Z' || symbol[i] == 'z') && (symbol[i + 1] == 'I' || symbol[i + 1] == 'i') &&
        (symbol[i + 2] == 'V' || symbol[i + 2] == 'v')) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::shared_ptr<ZIVMonitor> ZIVMonitor::create(int64_t libraryVersion) {
  return create(6, std::make_shared<APMASLLogger>(), libraryVersion);
}

std::shared_ptr<ZIVMonitor> ZIVMonitor::create(int64_t logLevel,
                                               std::shared_ptr<APMASLLogger> logger,
                                               int64_t libraryVersion, Environment environment) {
  std::shared_ptr<ZIVMonitor> monitor(
      new ZIVMonitor(logLevel, std::move(logger), libraryVersion, std::move(environment)));
  std::weak_ptr<ZIVMonitor> weak = monitor;
  monitor->queue_->async([weak] {
    if (auto self = weak.lock()) self->startOnQueue();
  });
  // Lines still queued for the console when the process ends are written before it does.
  fnd::FlushAtExit(monitor, [weak] {
    if (auto self = weak.lock()) self->flush();
  });
  return monitor;
}

namespace {

ZIVMonitor::Environment Complete(ZIVMonitor::Environment e) {
  if (!e.clock) e.clock = dispatch::Clock::current();
  if (!e.launchArguments) {
    e.launchArguments = [] { return fnd::ProcessInfo::processInfo().arguments(); };
  }
  if (!e.isStoreBuild) e.isStoreBuild = [] { return APMAEU::isFAS(); };
  if (!e.hasVendorConfiguration) e.hasVendorConfiguration = [] { return false; };
  if (!e.applicationDefaults) e.applicationDefaults = &ZIVUserDefaults::sharedUserDefaults();
  if (e.monitorSuiteName.empty()) e.monitorSuiteName = kZIVMonitorSuiteName;
  return e;
}

}  // namespace

ZIVMonitor::ZIVMonitor(int64_t logLevel, std::shared_ptr<APMASLLogger> logger,
                       int64_t libraryVersion, Environment environment)
    : libraryVersion_(libraryVersion),
      logger_(logger ? std::move(logger) : std::make_shared<APMASLLogger>()),
      environment_(Complete(std::move(environment))),
      applicationDefaults_(*environment_.applicationDefaults),
      monitorDefaults_(std::make_unique<ZIVUserDefaults>(environment_.monitorSuiteName)),
      queue_(dispatch::Queue::create(kQueueLabel, dispatch::Qos::kUtility, environment_.clock)),
      logLevel_(logLevel),
      logTag_(kDefaultLogTag),
      sampledData_(environment_.randomBelow),
      lastSampleWrite_(-std::numeric_limits<double>::infinity()) {
  // Decided before the monitor is handed out, so that a switch made right after creation already
  // knows whether debug mode is allowed.
  debugModeAllowed_.store(!environment_.isStoreBuild());
}

ZIVMonitor::~ZIVMonitor() = default;

void ZIVMonitor::startOnQueue() {
  migrateOnQueue();
  sampledData_.loadFromUserDefaults(*monitorDefaults_, ZIVUserDefaultsHealthMonitorKey);
  if (debugModeAllowed_.load()) processLaunchArgumentsOnQueue();
}

void ZIVMonitor::migrateOnQueue() {
  int64_t state = monitorDefaults_->integerForKey(ZIVUserDefaultsMonitorMigrationStateKey);
  if (state == ZIVMonitorMigrationStateNone) {
    std::optional<fnd::Array> old =
        applicationDefaults_.arrayForKey(ZIVUserDefaultsHealthMonitorKey);
    if (old && !monitorDefaults_->objectForKey(ZIVUserDefaultsHealthMonitorKey)) {
      monitorDefaults_->setObject(fnd::Value(*old), ZIVUserDefaultsHealthMonitorKey);
    }
    monitorDefaults_->setInteger(ZIVMonitorMigrationStateCopied,
                                 ZIVUserDefaultsMonitorMigrationStateKey);
    monitorDefaults_->synchronize();
    state = ZIVMonitorMigrationStateCopied;
  }
  if (state == ZIVMonitorMigrationStateCopied) {
    applicationDefaults_.removeObjectForKey(ZIVUserDefaultsHealthMonitorKey);
    applicationDefaults_.synchronize();
    monitorDefaults_->setInteger(ZIVMonitorMigrationStateComplete,
                                 ZIVUserDefaultsMonitorMigrationStateKey);
    monitorDefaults_->synchronize();
  }
}

void ZIVMonitor::processLaunchArgumentsOnQueue() {
  const std::vector<std::string> arguments = environment_.launchArguments();
  static constexpr const char* kVendorDebugArguments[] = {"-DEVDebugDisabled", "-DEVDebugEnabled"};
  firConfigurationControlsLogger_.store(HasAny(arguments, kVendorDebugArguments) &&
                                        environment_.hasVendorConfiguration());

  if (HasAny(arguments, kDebugOffArguments)) {
    setDebugModeEnabled(false);
  } else if (applicationDefaults_.boolForKey(ZIVPersistedConfigDebugModeKey) ||
             HasAny(arguments, kDebugOnArguments)) {
    setDebugModeEnabled(true);
  }

  if (HasAny(arguments, kVerboseOffArguments)) {
    setVerboseLoggingEnabled(false);
  } else if (applicationDefaults_.boolForKey(ZIVPersistedConfigVerboseLoggingKey) ||
             HasAny(arguments, kVerboseOnArguments)) {
    setVerboseLoggingEnabled(true);
  }
}

void ZIVMonitor::setConsoleLevel(int level) {
  if (!firConfigurationControlsLogger_.load()) logger_->console().setLevel(level);
}

void ZIVMonitor::setDebugModeEnabled(bool enabled) {
  if (enabled && debugModeAllowed_.load()) {
    logLevel_.store(7);
    setConsoleLevel(kZIVConsoleLevelDebug);
    applicationDefaults_.setBool(true, ZIVPersistedConfigDebugModeKey);
    debugModeEnabled_.store(true);
  } else {
    logLevel_.store(6);
    setConsoleLevel(kZIVConsoleLevelNotice);
    applicationDefaults_.removeObjectForKey(ZIVPersistedConfigDebugModeKey);
    debugModeEnabled_.store(false);
  }
}

void ZIVMonitor::setSGTMDebugModeEnabled(bool enabled) {
  if (enabled) {
    logLevel_.store(7);
    setConsoleLevel(kZIVConsoleLevelDebug);
    logWithLevel(7, 24006, "SGTM debug mode is on");
  } else {
    logLevel_.store(6);
    setConsoleLevel(kZIVConsoleLevelNotice);
    logWithLevel(7, 24007, "SGTM debug mode is off");
  }
  debugModeEnabled_.store(enabled);
}

void ZIVMonitor::setVerboseLoggingEnabled(bool enabled) {
  if (enabled && debugModeAllowed_.load()) {
    logLevel_.store(8);
    setConsoleLevel(kZIVConsoleLevelDebug);
    applicationDefaults_.setBool(true, ZIVPersistedConfigVerboseLoggingKey);
    verboseLoggingEnabled_.store(true);
  } else {
    const int64_t level = debugModeEnabled_.load() ? 7 : 6;
    logLevel_.store(level);
    setConsoleLevel(APMASLLogger::RVLLoggerLevelFromLogLevel(level));
    applicationDefaults_.removeObjectForKey(ZIVPersistedConfigVerboseLoggingKey);
    verboseLoggingEnabled_.store(false);
  }
}

std::string ZIVMonitor::logTag() const {
  std::lock_guard<std::mutex> lock(mu_);
  return logTag_;
}

void ZIVMonitor::setLogTag(std::string tag) {
  std::lock_guard<std::mutex> lock(mu_);
  logTag_ = std::move(tag);
}

void ZIVMonitor::setLogListener(std::function<void(const ZIVLogEntry&)> listener) {
  std::lock_guard<std::mutex> lock(mu_);
  listener_ = listener
                  ? std::make_shared<std::function<void(const ZIVLogEntry&)>>(std::move(listener))
                  : nullptr;
}

void ZIVMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message) {
  logWithLevel(level, messageCode, message, fnd::Array());
}

void ZIVMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                              const fnd::Value& context) {
  logWithLevel(level, messageCode, message, fnd::Array{context});
}

void ZIVMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                              const fnd::Value& context1, const fnd::Value& context2) {
  logWithLevel(level, messageCode, message, fnd::Array{context1, context2});
}

void ZIVMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                              const fnd::Value& context1, const fnd::Value& context2,
                              const fnd::Value& context3) {
  logWithLevel(level, messageCode, message, fnd::Array{context1, context2, context3});
}

void ZIVMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                              const fnd::Array& contexts) {
  std::shared_ptr<std::function<void(const ZIVLogEntry&)>> listener;
  std::string tag;
  {
    std::lock_guard<std::mutex> lock(mu_);
    listener = listener_;
    tag = logTag_;
  }
  if (listener) (*listener)(ZIVLogEntry{level, messageCode, message, contexts});

  const bool loggable =
      logger_->console().isLoggableLevel(APMASLLogger::RVLLoggerLevelFromLogLevel(level)) &&
      !isSilentLevel(level);
  const bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return;
  if (!(level < 8 || verboseLoggingEnabled_.load())) return;

  std::weak_ptr<ZIVMonitor> weak = weak_from_this();
  if (loggable) {
    std::string line = stringWithLogMessage(message, level, contexts, encodeContexts_.load());
    queue_->async([weak, line = std::move(line), tag = std::move(tag), messageCode, level] {
      if (auto self = weak.lock()) self->logger_->logMessage(line, tag, messageCode, level);
    });
  }
  if (monitorable) {
    std::string context = encodedStringWithContextArray(contexts, false);
    const std::string monitorContext = ZIVMonitorContextString(contexts);
    if (!monitorContext.empty()) context += "," + monitorContext;
    std::string key = monitoringDataKeyWithMessage(message, level, libraryVersion_);
    // The event's time is taken now, not when the queue gets to it.
    const double now = environment_.clock->wallTime();
    queue_->async([weak, key = std::move(key), context = std::move(context), now] {
      auto self = weak.lock();
      if (!self) return;
      self->sampledData_.insertOrUpdate(key, context, now);
      self->persistSampleOnQueue();
    });
  }
}

void ZIVMonitor::persistSampleOnQueue() {
  sampledData_.storeInUserDefaults(*monitorDefaults_, ZIVUserDefaultsHealthMonitorKey);
  const double now = environment_.clock->uptime();
  const double due = lastSampleWrite_ + kZIVMonitorHealthWriteInterval;
  if (now >= due) {
    writeSampleOnQueue();
    return;
  }
  if (sampleWritePending_) return;
  sampleWritePending_ = true;
  std::weak_ptr<ZIVMonitor> weak = weak_from_this();
  queue_->after(due - now, [weak] {
    if (auto self = weak.lock()) self->writePendingSampleOnQueue();
  });
}

void ZIVMonitor::writeSampleOnQueue() {
  monitorDefaults_->synchronize();
  sampleWritePending_ = false;
  lastSampleWrite_ = environment_.clock->uptime();
}

void ZIVMonitor::writePendingSampleOnQueue() {
  if (sampleWritePending_) writeSampleOnQueue();
}

std::optional<std::string> ZIVMonitor::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  std::optional<std::string> result;
  queue_->sync([&] {
    result = sampledData_.dataForDispatch(samplePeriod, lastSampledTimestamp,
                                          environment_.clock->wallTime());
    if (result) {
      // A dispatch is rare and drops the entry: written at once.
      sampledData_.storeInUserDefaults(*monitorDefaults_, ZIVUserDefaultsHealthMonitorKey);
      writeSampleOnQueue();
    }
  });
  return result;
}

void ZIVMonitor::clearMonitoringData() {
  queue_->sync([&] {
    applicationDefaults_.removeObjectForKey(ZIVPersistedConfigDebugModeKey);
    applicationDefaults_.removeObjectForKey(ZIVUserDefaultsHealthMonitorKey);
    monitorDefaults_->removeObjectForKey(ZIVUserDefaultsHealthMonitorKey);
    sampledData_.loadFromUserDefaults(*monitorDefaults_, ZIVUserDefaultsHealthMonitorKey);
  });
}

void ZIVMonitor::flush() {
  queue_->sync([this] { writePendingSampleOnQueue(); });
}

std::string ZIVMonitor::logLevelDescriptionFromLogLevel(int64_t level) {
  static constexpr const char* kNames[] = {"ERROR",   "ERROR",  "ERROR", "WARNING", "WARNING",
                                           "WARNING", "NOTICE", "DEBUG", ""};
  return IsKnownLevel(level) ? kNames[level] : "";
}

bool ZIVMonitor::isSilentLevel(int64_t level) {
  return !IsKnownLevel(level) || level == 2 || level == 5;
}

bool ZIVMonitor::isMonitorableLevel(int64_t level) {
  return !IsKnownLevel(level) || level == 1 || level == 2 || level == 4 || level == 5;
}

std::string ZIVMonitor::encodedStringWithContextObject(const fnd::Value& context) {
  switch (context.kind()) {
    case fnd::Value::Kind::kNull:
      return "";
    case fnd::Value::Kind::kString:
      return "-";
    case fnd::Value::Kind::kBool:
      return context.asBool() ? "1" : "0";
    case fnd::Value::Kind::kInt:
      return EncodeInteger(context.asInt());
    case fnd::Value::Kind::kDouble:
      return EncodeDouble(context.asDouble());
    case fnd::Value::Kind::kRecord:
      if (const ZIVExceptionRecord* exception = ZIVExceptionFromContext(context)) {
        std::string symbol = lastZIVSymbolFromException(*exception);
        return symbol.empty() ? "-" : symbol;
      }
      if (const ZIVErrorRecord* error = ZIVErrorFromContext(context)) {
        return error->error().domain().empty() ? "-" : error->error().domain();
      }
      return "?";
    default:
      return "?";
  }
}

std::string ZIVMonitor::encodedStringWithContextArray(const fnd::Array& contexts,
                                                      bool insertSpaces) {
  std::string out;
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) out += insertSpaces ? ", " : ",";
    out += encodedStringWithContextObject(contexts[i]);
  }
  return out;
}

std::string ZIVMonitor::stringWithLogMessage(const std::string& message, int64_t /*level*/,
                                             const fnd::Array& contexts, bool encodeContexts) {
  std::string line = message.empty() ? "(Message was empty)" : message;
  if (contexts.empty()) return line;
  line += ": ";
  if (encodeContexts) return line + encodedStringWithContextArray(contexts, true);
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) line += ", ";
    line += DescribeContext(contexts[i]);
  }
  return line;
}

std::string ZIVMonitor::lastZIVSymbolFromException(const ZIVExceptionRecord& exception) {
  const std::vector<std::string>& stack = exception.callStackSymbols();
  if (stack.size() < 3) return exception.name();
  for (size_t i = 2; i < stack.size(); ++i) {
    std::vector<std::string> tokens = SplitWhitespace(stack[i]);
    if (tokens.size() <= 4) continue;
    std::string symbol = tokens[4] == "+" ? tokens[3] : tokens[3] + " " + tokens[4];
    if (ContainsZIV(symbol)) return symbol;
  }
  return exception.name();
}

std::string ZIVMonitor::monitoringDataKeyWithMessage(const std::string& message, int64_t level,
                                                     int64_t libraryVersion) {
  char letter = '?';
  if (level >= 0 && level <= 2) {
    letter = 'E';
  } else if (level >= 3 && level <= 5) {
    letter = 'W';
  }
  return std::string("1") + letter + "_" + std::to_string(libraryVersion) + ":" + message;
}
