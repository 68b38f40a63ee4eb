// The real program against the loopback collector: the host executable is launched with a home of
// its own (QUELLMARK_HOME), its analytics requests sent to the collector (--service-url), and
// driven through its console on standard input (--dart -), as a Dart side would drive it. What
// it stored is read back from its database and settings files once it has exited.
//
// The upload is made the way the engine makes it when the user switches away from the
// application: {"app": "resignActive"}. The engine listens for that only once its start-up has
// finished, so the test repeats resign and activate until the collector has seen the request it
// waits for.
//
// A stored configuration stays fresh for at least 60 s (the least cache time), and a fetch is
// only made when it is stale: a second launch within that minute never fetches. Tests that need
// a second fetch age the stored update time in the database between launches instead of waiting
// for the wall clock.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "analytics/config/remote_config_test_support.h"
#include "analytics/proto/messages.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/test_home.h"
#include "tools/collector/collector.h"

extern char** environ;

namespace {

using collector::Json;
namespace fs = std::filesystem;

// The app ID of the example bundle's options file.
constexpr const char* kAppID = "1:448613937025:ios:3f5c0a1d9e8b7c6a";
constexpr const char* kDatabaseName = "rivado-duv-udiredururo.sql";
constexpr const char* kAnalytics =
    "dev.flutter.pigeon.zudiroru_analytics_platform_interface.ZudiroruAnalyticsHostApi.";
constexpr auto kPatience = std::chrono::seconds(60);

std::string SourceDir() {
  const char* dir = std::getenv("QUELLMARK_SOURCE_DIR");
  return dir ? dir : QUELLMARK_SOURCE_DIR_DEFAULT;
}

// A console line that sends `message` to the analytics host method `method`.
std::string Analytics(const std::string& method, const Json& message) {
  return Json{{"send", std::string(kAnalytics) + method}, {"message", message}}.dump();
}

std::string LogEvent(const std::string& name, const Json& parameters = Json::object()) {
  return Analytics("logEvent", Json::array({{{"eventName", name}, {"parameters", parameters}}}));
}

// One run of the host executable.
class Host {
 public:
  Host(const std::string& home, const std::string& serviceURL, const std::string& output) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    std::vector<std::string> arguments = {QUELLMARK_HOST_PATH,
                                          "--bundle",
                                          SourceDir() + "/macos/Runner/Resources",
                                          "--service-url",
                                          serviceURL,
                                          "-ZIVAnalyticsVerboseLoggingEnabled",
                                          "--dart",
                                          "-"};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      if (text.rfind("QUELLMARK_HOME=", 0) == 0 || text.rfind("QUELLMARK_SERVICE_URL=", 0) == 0 ||
          text.rfind("XDG_DATA_HOME=", 0) == 0) {
        continue;
      }
      environment.push_back(text);
    }
    // The child's home is named explicitly: never the user's data folder.
    environment.push_back("QUELLMARK_HOME=" + home);
    environment.push_back("XDG_DATA_HOME=" + home + "/xdg");
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, (output + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[0]);
    input_ = pipeFds[1];
    output_ = output;
  }
  ~Host() {
    if (pid_ > 0) Kill();
    if (input_ >= 0) close(input_);
  }
  bool started() const { return pid_ > 0; }

  void Send(const std::string& line) {
    const std::string text = line + "\n";
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = write(input_, text.data() + sent, text.size() - sent);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  // Asks the console to quit and waits for the exit; the exit status, or -1.
  int Quit() {
    Send(R"({"quit": true})");
    close(input_);
    input_ = -1;
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // The console's output lines so far.
  std::vector<Json> Output() const {
    std::vector<Json> lines;
    std::ifstream in(output_);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) lines.push_back(Json::parse(line, nullptr, false));
    }
    return lines;
  }
  std::string Log() const {
    std::ifstream in(output_ + ".err");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::string output_;
};

// Rows of a query on a database file, each column as text ("NULL" for null). A `live` query runs
// while the host may be writing: read-only and without taking any lock, so that it never makes a
// write of the host fail as busy (it may then see a state in the middle of a write, which the
// callers only poll).
std::vector<std::vector<std::string>> Query(const std::string& path, const std::string& sql,
                                            bool live = false) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  std::string name = path;
  int flags = SQLITE_OPEN_READWRITE;
  if (live) {
    name = "file:";
    for (char c : path) {
      if (c == ' ' || c == '%' || c == '?' || c == '#') {
        static const char* hex = "0123456789ABCDEF";
        name += '%';
        name += hex[static_cast<unsigned char>(c) >> 4];
        name += hex[c & 15];
      } else {
        name += c;
      }
    }
    name += "?nolock=1";
    flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
  }
  if (sqlite3_open_v2(name.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    if (!live) ADD_FAILURE() << "cannot open " << path;
    return rows;
  }
  sqlite3_busy_timeout(db, 10000);  // The host may be writing.
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK && !live) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  }
  while (statement && sqlite3_step(statement) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const unsigned char* text = sqlite3_column_text(statement, i);
      row.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

int64_t Count(const std::string& path, const std::string& table, bool live = false) {
  auto rows = Query(path, "SELECT COUNT(*) FROM " + table, live);
  return rows.empty() ? -1 : std::stoll(rows[0][0]);
}

// Waits until the host's log holds `text`, after `after` when given (bounded), keeping its
// console busy meanwhile.
bool WaitForLog(Host& host, const std::string& text, const std::string& after = "") {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string log = host.Log();
    const size_t start = after.empty() ? 0 : log.find(after);
    if (start != std::string::npos && log.find(text, start) != std::string::npos) return true;
    host.Send(R"({"wait": 100})");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// A loopback port that refuses every connection for as long as this object lives: the socket is
// bound but never listens, so no other test's collector can take the port meanwhile.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no loopback port to refuse on";
      return;
    }
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  ~RefusingPort() {
    if (fd_ >= 0) close(fd_);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  const std::string& url() const { return url_; }

 private:
  int fd_ = -1;
  std::string url_;
};

class HostRoadTest : public ::testing::Test {
 protected:
  HostRoadTest() {
    hostHome_ = home_.path() + "/host";
    fs::create_directories(hostHome_);
  }
  ~HostRoadTest() override {
    if (collector_) collector_->stop();
  }

  // A configuration for `appID` with the given settings.
  static fnd::Data Config(const std::string& appID,
                          std::vector<std::pair<std::string, std::string>> settings = {}) {
    return *rc_test::Config(appID, settings)->protoBuffer();
  }

  void StartCollector(const std::string& script = "",
                      std::optional<fnd::Data> config = std::nullopt) {
    if (collector_) collector_->stop();
    collector::Options options;
    std::string error;
    auto parsed = collector::ParseScript(script, &error);
    ASSERT_TRUE(parsed) << error;
    options.script = std::move(*parsed);
    options.config = std::move(config);
    options.output = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(Json::parse(line));
      changed_.notify_all();
    };
    collector_ = std::make_unique<collector::Collector>(std::move(options));
    ASSERT_TRUE(collector_->start());
    base_ = "http://127.0.0.1:" + std::to_string(collector_->port());
  }

  std::unique_ptr<Host> Launch(const std::string& serviceURL = "") {
    auto host = std::make_unique<Host>(hostHome_, serviceURL.empty() ? base_ : serviceURL,
                                       home_.path() + "/run" + std::to_string(++runs_) + ".jsonl");
    EXPECT_TRUE(host->started());
    host->Send(
        R"({"send": "dev.flutter.pigeon.zudiroru_core_platform_interface.ZudiroruCoreHostApi.initializeCore", "message": null})");
    host->Send(Analytics("setConsent", Json::array({{{"analyticsStorageConsentGranted", true},
                                                     {"adStorageConsentGranted", true}}})));
    return host;
  }
  // Logs `names` as events with one parameter each.
  static void LogEvents(Host& host, const std::vector<std::string>& names) {
    for (const std::string& name : names) host.Send(LogEvent(name, {{"n", 1}}));
  }

  std::vector<Json> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  size_t LineCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_.size();
  }
  // Switches the host away and back until the collector holds a line for which `done` is true
  // (bounded). The engine hears of the switch only once it has started.
  bool DriveUntil(Host& host, const std::function<bool(const Json&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    auto found = [&] {
      for (const Json& line : lines_) {
        if (done(line)) return true;
      }
      return false;
    };
    while (std::chrono::steady_clock::now() < deadline) {
      host.Send(R"({"app": "resignActive"})");
      {
        std::unique_lock<std::mutex> lock(mu_);
        if (changed_.wait_for(lock, std::chrono::milliseconds(500), found)) return true;
      }
      host.Send(R"({"app": "activate"})");
    }
    return false;
  }
  static bool IsUpload(const Json& line) { return line["request"] == "upload"; }
  // Waits (bounded) until `condition` holds for what the host stored (read with live queries),
  // checked first and then after each switch away and back (each one an upload attempt of the
  // engine).
  bool WaitForStored(Host& host, const std::function<bool(const std::string& db)>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string db = Database();
      if (!db.empty() && condition(db)) return true;
      host.Send(R"({"app": "resignActive"})");
      host.Send(R"({"wait": 200})");
      host.Send(R"({"app": "activate"})");
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
  // After a collector's 2xx: waits until the engine has deleted what it sent and has nothing
  // left to send.
  bool WaitForDelivery(Host& host) {
    return WaitForStored(host, [](const std::string& db) {
      return Count(db, "queue", true) == 0 && Count(db, "raw_events", true) == 0;
    });
  }
  // After a failed upload: waits until the engine has counted the retry on the kept bundles.
  bool WaitForRetryCounted(Host& host) {
    return WaitForStored(host, [](const std::string& db) {
      auto rows = Query(db, "SELECT MAX(retry_count) FROM queue", true);
      return !rows.empty() && rows[0][0] != "NULL" && std::stoll(rows[0][0]) >= 1;
    });
  }
  // Logs the event and waits until it is stored: another event logged after it has been
  // written, so the first one's transaction has committed.
  static bool LogAndStore(Host& host, const std::string& name) {
    host.Send(LogEvent(name));
    host.Send(LogEvent("store_mark"));
    return WaitForLog(host, "Event logged. Event name, event params: store_mark");
  }
  // Names of the app's events ("_" names are the engine's own) in an upload line.
  static std::vector<std::string> AppEvents(const Json& line) {
    std::vector<std::string> names;
    for (const Json& bundle : line["batch"]["bundles"]) {
      for (const Json& event : bundle["events"]) {
        const std::string name = event["name"];
        if (name.rfind("_", 0) != 0) names.push_back(name);
      }
    }
    return names;
  }
  // A later launch against a collector that answers every upload at once delivers each of
  // `names` exactly once and leaves nothing queued.
  void ExpectRelaunchDeliversEachOnce(const std::vector<std::string>& names) {
    const size_t before = LineCount();
    StartCollector("", Config(kAppID));
    auto host = Launch();
    ASSERT_TRUE(DriveUntil(*host, [](const Json& line) {
      return IsUpload(line) && line["status"] == 204 && !line.contains("fault") &&
             !line.contains("delay_ms");
    })) << host->Log();
    ASSERT_TRUE(WaitForDelivery(*host)) << host->Log();
    ASSERT_EQ(host->Quit(), 0);
    std::multiset<std::string> delivered;
    std::vector<Json> lines = Lines();
    for (size_t i = before; i < lines.size(); ++i) {
      if (!IsUpload(lines[i]) || lines[i]["status"] != 204) continue;
      for (const std::string& name : AppEvents(lines[i])) delivered.insert(name);
    }
    for (const std::string& name : names) EXPECT_EQ(delivered.count(name), 1u) << name;
    EXPECT_EQ(Count(Database(), "queue"), 0);
  }
  std::string Database() const {
    for (const auto& entry : fs::recursive_directory_iterator(hostHome_)) {
      if (entry.path().filename() == kDatabaseName) return entry.path().string();
    }
    return "";
  }
  // The engine's persisted settings (the plist holding `key`).
  std::optional<fnd::Dictionary> PersistedWith(const std::string& key) const {
    for (const auto& entry : fs::recursive_directory_iterator(hostHome_)) {
      if (entry.path().extension() != ".plist") continue;
      auto value = fnd::PropertyList::ReadFile(entry.path().string());
      if (value && value->dictionary() && value->dictionary()->contains(fnd::Value(key))) {
        return *value->dictionary();
      }
    }
    return std::nullopt;
  }
  // Makes the stored configuration as old as if two hours had passed since it was fetched.
  void AgeStoredConfiguration() {
    (void)Query(Database(),
                "UPDATE app_metadata SET remote_config_timestamp = remote_config_timestamp - 7200");
  }

  fnd::ScopedTestHome home_;
  std::string hostHome_;
  std::unique_ptr<collector::Collector> collector_;
  std::string base_;
  int runs_ = 0;
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<Json> lines_;
};

TEST_F(HostRoadTest, LoggedEventsArriveAsOneBatchStampedAndChecksummedAndA204EmptiesTheQueue) {
  StartCollector("", Config(kAppID, {{"measurement.quality.checksum", "1"}}));
  auto host = Launch();
  host->Send(Analytics("setUserProperty", Json::array({"favourite_food", "pasta"})));
  host->Send(Analytics("setUserId", Json::array({"user-42"})));
  host->Send(LogEvent("level_up", {{"level", 7}, {"character", "dana"}}));
  host->Send(LogEvent("select_content", {{"content_type", "map"}}));
  host->Send(
      LogEvent("purchase", {{"currency", "EUR"},
                            {"value", 12.5},
                            {"items", Json::array({{{"item_id", "sku-1"}, {"price", 7.5}},
                                                   {{"item_id", "sku-2"}, {"price", 5}}})}}));
  ASSERT_TRUE(DriveUntil(*host, IsUpload)) << host->Log();
  ASSERT_TRUE(WaitForDelivery(*host)) << host->Log();
  EXPECT_EQ(host->Quit(), 0);
  collector_->stop();

  std::vector<Json> uploads;
  const Json* config = nullptr;
  std::vector<Json> lines = Lines();
  for (const Json& line : lines) {
    if (IsUpload(line)) uploads.push_back(line);
    if (line["request"] == "config" && !config) config = &line;
  }
  // The settings fetch came first: the query of the configuration request, unconditional.
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->at("path"), std::string("/config/app/") + kAppID);
  EXPECT_EQ(config->at("query"),
            (Json{{"platform", "macos"}, {"runtime_version", "0"}, {"zuz_version", "120500"}}));
  EXPECT_EQ(config->at("headers"), Json::object());
  EXPECT_EQ(config->at("status"), 200);

  ASSERT_EQ(uploads.size(), 1u) << lines.size();
  const Json& batch = uploads[0]["batch"];
  ASSERT_FALSE(batch["bundles"].empty()) << uploads[0].dump();
  EXPECT_EQ(AppEvents(uploads[0]),
            (std::vector<std::string>{"level_up", "select_content", "purchase"}));
  const Json upload = batch["bundles"][0]["upload_timestamp_millis"];
  for (const Json& bundle : batch["bundles"]) {
    EXPECT_EQ(bundle["upload_timestamp_millis"], upload);
    EXPECT_EQ(bundle["library_version"], 120500);
    EXPECT_EQ(bundle["app_id"], "com.example.quellmark");
    ASSERT_TRUE(bundle.contains("checksum")) << bundle.dump();
    EXPECT_EQ(bundle["checksum_valid"], true);
  }
  // The ecommerce items travel as nested parameters.
  for (const Json& bundle : batch["bundles"]) {
    for (const Json& event : bundle["events"]) {
      if (event["name"] == "purchase") {
        EXPECT_EQ(event["params"]["items"].size(), 2u);
      }
    }
  }
  // The 204 emptied the queue; the configuration of the 200 is stored.
  const std::string db = Database();
  EXPECT_EQ(Count(db, "queue"), 0);
  EXPECT_EQ(Count(db, "raw_events"), 0);
  auto stored = Query(db, "SELECT remote_config_data IS NOT NULL FROM app_metadata");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0][0], "1");
}

TEST_F(HostRoadTest, ASecondFetchIsConditionalAndA304IsRecorded) {
  StartCollector("", Config(kAppID));
  auto host = Launch();
  LogEvents(*host, {"first_run"});
  ASSERT_TRUE(DriveUntil(*host, IsUpload)) << host->Log();
  ASSERT_TRUE(WaitForDelivery(*host)) << host->Log();
  ASSERT_EQ(host->Quit(), 0);
  for (const Json& line : Lines()) {
    if (line["request"] == "config") {
      ASSERT_EQ(line["status"], 200);
    }
  }

  const std::string db = Database();
  const auto before = Query(db, "SELECT remote_config_timestamp FROM app_metadata");
  AgeStoredConfiguration();
  const size_t firstRun = LineCount();
  host = Launch();
  LogEvents(*host, {"second_run"});
  ASSERT_TRUE(DriveUntil(*host, [&](const Json& line) {
    return IsUpload(line) && AppEvents(line) == std::vector<std::string>{"second_run"};
  })) << host->Log();
  ASSERT_EQ(host->Quit(), 0);
  std::vector<Json> lines = Lines();
  const Json* fetch = nullptr;
  for (size_t i = firstRun; i < lines.size(); ++i) {
    if (lines[i]["request"] == "config") fetch = &lines[i];
  }
  ASSERT_NE(fetch, nullptr);
  EXPECT_EQ(fetch->at("status"), 304);
  EXPECT_TRUE(fetch->at("headers").contains("If-None-Match")) << fetch->dump();
  EXPECT_EQ(fetch->at("headers")["If-Modified-Since"], "Tue, 14 Nov 2023 22:13:20 GMT");
  // The 304 recorded a new update time, later than the aged one.
  const auto after = Query(db, "SELECT remote_config_timestamp FROM app_metadata");
  ASSERT_EQ(after.size(), 1u);
  ASSERT_EQ(before.size(), 1u);
  EXPECT_GT(std::stod(after[0][0]), std::stod(before[0][0]) - 7200);
}

TEST_F(HostRoadTest, AConfigurationForAnotherAppIsRefusedAndUploadsGoOn) {
  StartCollector("", Config("1:999:ios:ffff", {{"measurement.upload.interval", "60000"}}));
  auto host = Launch();
  LogEvents(*host, {"level_up"});
  ASSERT_TRUE(DriveUntil(*host, IsUpload)) << host->Log();
  ASSERT_TRUE(WaitForDelivery(*host)) << host->Log();
  ASSERT_EQ(host->Quit(), 0);
  const std::string db = Database();
  auto stored = Query(db, "SELECT remote_config_data IS NULL FROM app_metadata");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0][0], "1");
  // The configuration was answered with a 200, and refused (the transaction rolled back).
  bool served = false;
  for (const Json& line : Lines()) {
    served = served || (line["request"] == "config" && line["status"] == 200);
  }
  EXPECT_TRUE(served);
  // The update time is still recorded, so the refused configuration is not asked for again at
  // once; nothing was persisted of its caching headers.
  auto time = Query(db, "SELECT remote_config_timestamp FROM app_metadata");
  EXPECT_NE(time[0][0], "NULL");
  auto persisted = PersistedWith("/rivado/measurement/config_etag");
  EXPECT_FALSE(persisted.has_value());
}

// Each fault of the first upload. An answer the engine saw as a success (a 200 with a garbage or
// huge body) acknowledged the events; after any other fault they are still stored, and a later
// launch delivers each of them once.
TEST_F(HostRoadTest, NetworkFaultsLoseNothing) {
  const std::vector<std::string> faults = {"refused", "reset", "drop", "500", "garbage", "big"};
  const std::vector<std::string> names = {"alpha", "beta", "gamma"};
  for (const std::string& fault : faults) {
    SCOPED_TRACE(fault);
    fs::remove_all(hostHome_);
    fs::create_directories(hostHome_);
    {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.clear();
    }
    bool acknowledged = false;
    if (fault == "refused") {
      const RefusingPort refusing;
      auto host = Launch(refusing.url());
      LogEvents(*host, names);
      host->Send(R"({"app": "resignActive"})");
      // The settings fetch that comes first fails; the engine says so.
      ASSERT_TRUE(WaitForLog(*host, "I-ACS023128]")) << host->Log();
      ASSERT_EQ(host->Quit(), 0);
      EXPECT_EQ(Count(Database(), "raw_events WHERE name IN ('alpha', 'beta', 'gamma')"), 3);
    } else {
      StartCollector("upload=" + fault, Config(kAppID));
      auto host = Launch();
      LogEvents(*host, names);
      ASSERT_TRUE(DriveUntil(*host, IsUpload)) << host->Log();
      // The engine has had its answer: a failed or a successful upload.
      acknowledged = fault == "garbage" || fault == "big";
      ASSERT_TRUE(acknowledged ? WaitForDelivery(*host) : WaitForRetryCounted(*host))
          << host->Log();
      ASSERT_EQ(host->Quit(), 0);
      const std::string db = Database();
      // The app's events have left the raw table for a bundle (the engine's own engagement
      // events of the later switches may still be raw).
      EXPECT_EQ(Count(db, "raw_events WHERE name IN ('alpha', 'beta', 'gamma')"), 0);
      if (acknowledged) {
        EXPECT_EQ(Count(db, "queue"), 0);
      } else {
        EXPECT_GE(Count(db, "queue"), 1);  // Bundled, not sent.
      }
    }
    if (acknowledged) continue;
    // A later launch against a collector that answers delivers every event once.
    ExpectRelaunchDeliversEachOnce(names);
  }
}

// A host killed while its upload is in flight: every event is either acknowledged by the
// collector or still queued, and at most that one batch arrives twice.
TEST_F(HostRoadTest, AHostKilledDuringAnUploadLosesNothing) {
  const std::vector<std::string> names = {"one", "two", "three", "four"};
  StartCollector("upload=delay:10000", Config(kAppID));
  auto host = Launch();
  LogEvents(*host, names);
  ASSERT_TRUE(DriveUntil(*host, IsUpload)) << host->Log();
  host->Kill();  // SIGKILL while the collector holds the answer back.
  std::vector<std::string> inFlight;
  for (const Json& line : Lines()) {
    if (IsUpload(line)) inFlight = AppEvents(line);
  }
  EXPECT_EQ(inFlight, names);
  EXPECT_GE(Count(Database(), "queue"), 1);

  host.reset();
  // Never acknowledged, so all of it comes again: the one in-flight batch, once more.
  ExpectRelaunchDeliversEachOnce(names);
}

// A collector that holds the answer longer than the served network time-out (30 s, the shortest
// allowed): the engine gives up on the request, keeps its bundles and counts the retry, and a
// later launch delivers each event once.
TEST_F(HostRoadTest, AnAnswerSlowerThanTheNetworkTimeOutLosesNothing) {
  const std::vector<std::string> names = {"slow_one", "slow_two"};
  StartCollector("upload=delay:35000",
                 Config(kAppID, {{"measurement.network.network_timeout", "30000"}}));
  auto host = Launch();
  LogEvents(*host, names);
  ASSERT_TRUE(DriveUntil(*host, IsUpload)) << host->Log();
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForRetryCounted(*host)) << host->Log();
  // The engine gave up on its own time-out, before the held answer came.
  EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::seconds(20));
  ASSERT_EQ(host->Quit(), 0);
  EXPECT_EQ(Count(Database(), "raw_events WHERE name IN ('slow_one', 'slow_two')"), 0);
  EXPECT_GE(Count(Database(), "queue"), 1);  // Bundled, not acknowledged.

  host.reset();
  ExpectRelaunchDeliversEachOnce(names);
}

// Two launches on one home: the second keeps the app instance ID, the user properties and the
// first-open state, and only the first launch writes "_f". Nothing is uploaded (the service URL
// is a loopback port that refuses connections, and the app never switches away).
TEST_F(HostRoadTest, ASecondLaunchKeepsIdentityPropertiesAndFirstOpen) {
  const RefusingPort refusing;
  const std::string nowhere = refusing.url();
  auto appInstanceID = [](const Host& host) -> std::string {
    for (const Json& line : host.Output()) {
      if (line.value("channel", "") == std::string(kAnalytics) + "getAppInstanceId") {
        return line["reply"][0].is_string() ? line["reply"][0].get<std::string>() : "";
      }
    }
    return "";
  };
  auto run = [&](bool first) {
    auto host = Launch(nowhere);
    if (first) host->Send(Analytics("setUserProperty", Json::array({"favourite_food", "pasta"})));
    EXPECT_TRUE(LogAndStore(*host, first ? "first_launch" : "second_launch")) << host->Log();
    host->Send(Analytics("getAppInstanceId", nullptr));
    EXPECT_EQ(host->Quit(), 0);
    return appInstanceID(*host);
  };
  const std::string firstID = run(true);
  ASSERT_EQ(firstID.size(), 32u);
  const std::string db = Database();
  const std::string properties =
      "SELECT name, origin, set_timestamp, value FROM user_attributes ORDER BY name";
  const auto propertiesBefore = Query(db, properties);
  ASSERT_FALSE(propertiesBefore.empty());
  auto firstOpen = PersistedWith("/rivado/measurement/first_open_timestamp_ms");
  ASSERT_TRUE(firstOpen);

  const std::string secondID = run(false);
  EXPECT_EQ(secondID, firstID);
  EXPECT_EQ(Query(db, properties), propertiesBefore);
  auto persisted = PersistedWith("/rivado/measurement/previous_first_open_count");
  ASSERT_TRUE(persisted);
  EXPECT_EQ(persisted->get(fnd::Value("/rivado/measurement/previous_first_open_count")),
            fnd::Value::Int64(1));
  auto rows = Query(db, "SELECT timestamp FROM raw_events WHERE name = '_f'");
  ASSERT_EQ(rows.size(), 1u);
  // The row's time is in seconds; the stored first-open time in milliseconds.
  const fnd::Value stored =
      firstOpen->get(fnd::Value("/rivado/measurement/first_open_timestamp_ms"));
  EXPECT_NEAR(std::stod(rows[0][0]) * 1000, static_cast<double>(stored.asInt()), 1.0);
  EXPECT_EQ(Count(db, "raw_events WHERE name = 'second_launch'"), 1);
}

}  // namespace
