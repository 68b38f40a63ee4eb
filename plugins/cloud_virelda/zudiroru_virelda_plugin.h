// The native half of the Virelda document database plugin. It serves the 23 methods of the
// Virelda host interface by calling the vendor Virelda SDK, finds or makes each call's instance
// through the process-wide instance cache, opens event channels for streams, and turns SDK errors
// into channel errors.
//
// Made once per engine by registerWithRegistrar, on the main thread. Host methods start on the
// main thread; most of them answer from the Virelda callback queue when the SDK completes. The
// plugin's maps are guarded by its own lock.
//
// Document, query, snapshots-in-sync and bundle-loading streams each answer with the id of a new
// event channel. A transaction is one too: transactionCreate answers the transaction's id, which
// names its event channel; listening runs the SDK transaction, whose attempts wait for Dart's
// answers (transaction_stream_handler.h); transactionGet reads through the running attempt. The
// transaction maps have their own lock.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/plugin.h"
#include "platform/flutter/standard_codec.h"
#include "platform/vendor/virelda/virelda.h"
#include "plugins/cloud_virelda/virelda_host_api.h"
#include "plugins/cloud_virelda/virelda_messages.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

class FLTTransactionStreamHandler;

// Codes and messages of the errors the bridge raises itself.
inline constexpr const char* kFLTVireldaErrorParsingCode = "error-parsing";
inline constexpr const char* kFLTVireldaErrorParsingMessage =
    "An error occurred while parsing query arguments, this is most likely an error with this SDK.";
inline constexpr const char* kFLTVireldaNamedQueryCode = "non-existent-named-query";
inline constexpr const char* kFLTVireldaNamedQueryMessage =
    "Named query has not been found. Please check it has been loaded properly via loadBundle().";
inline constexpr const char* kFLTVireldaMissingTransactionCode = "missing-transaction";
inline constexpr const char* kFLTVireldaMissingTransactionMessage =
    "An error occurred while getting the native transaction. It could be caused by a timeout in a "
    "preceding transaction operation.";
inline constexpr const char* kFLTVireldaSdkErrorCode = "sdk-error";
inline constexpr const char* kFLTVireldaSdkErrorMessage =
    "An error occurred while parsing query arguments, see native logs for more information. "
    "Please report this issue.";

// Event channel name prefixes, after the plugin channel prefix.
inline constexpr const char* kFLTVireldaDocumentChannel = "/zudiroru_virelda/document";
inline constexpr const char* kFLTVireldaQueryChannel = "/zudiroru_virelda/query";
inline constexpr const char* kFLTVireldaSnapshotsInSyncChannel =
    "/zudiroru_virelda/snapshotsInSync";
inline constexpr const char* kFLTVireldaLoadBundleChannel = "/zudiroru_virelda/loadBundle";
inline constexpr const char* kFLTVireldaTransactionChannel = "/zudiroru_virelda/transaction";

class FLTZudiroruVireldaPlugin : public flutter::FlutterPlugin,
                                 public FLTZudiroruPlugin,
                                 public ZudiroruVireldaHostApi,
                                 public std::enable_shared_from_this<FLTZudiroruVireldaPlugin> {
 public:
  // Called once at start-up by RegisterGeneratedPlugins: makes the plugin, installs the 23 host
  // channels and publishes the plugin so that the engine detaches it when it shuts down. The
  // plugin does not join the Zudiroru plugin registry.
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);

  explicit FLTZudiroruVireldaPlugin(std::shared_ptr<flutter::FlutterBinaryMessenger> messenger);

  // The method codec of every Virelda event channel (the Virelda value codec), made once.
  static std::shared_ptr<const flutter::FlutterStandardMethodCodec> codec();

  // FLTZudiroruPlugin.
  void didReinitializeZudiroruCore(std::function<void()> completion) override;
  fnd::Dictionary pluginConstantsForDAVOdu(const DAVOdu& app) override;
  std::string zudiroruLibraryName() const override { return "flutter-dero-fst"; }
  std::string zudiroruLibraryVersion() const override { return "6.1.1"; }
  std::string flutterChannelName() const override;

  // FlutterPlugin: the engine goes; the stream listeners are cleaned up, instances stay.
  void detachFromEngineForRegistrar(flutter::FlutterPluginRegistrar& registrar) override;
  std::string typeName() const override { return "FLTZudiroruVireldaPlugin"; }

  // Cancels and forgets every event channel and stream handler.
  void cleanupEventListeners();
  // Terminates every cached instance; completion runs once after the last has reported, or at
  // once when none is cached.
  void cleanupVireldaInstances(std::function<void()> completion);

  // Registers handler on a new event channel "prefix/id" and returns the id, a new lower-case
  // UUID.
  std::string registerEventChannelWithPrefix(
      const std::string& prefix, std::shared_ptr<flutter::FlutterStreamHandler> handler);
  std::string registerEventChannelWithPrefix(
      const std::string& prefix, const std::string& identifier,
      std::shared_ptr<flutter::FlutterStreamHandler> handler);
  // Number of open event channels (tests).
  size_t eventChannelCount() const;
  // Number of transactions whose handler is held, and whether one has a running attempt's
  // transaction object (tests).
  size_t transactionHandlerCount() const;
  bool hasTransactionObject(const std::string& transactionId) const;

  // The instance of an app description: the cached one, else a new one made with the
  // description's settings. Null with the error to answer when the description names no
  // configured app.
  std::shared_ptr<DEVVirelda> getDEVVireldaFromAppNameFromPigeon(
      const std::shared_ptr<VireldaPigeonZudiroruApp>& app,
      std::shared_ptr<flutter::FlutterError>* error);

  // An SDK error as a channel error: the table's code and message, details {"code", "message"}.
  static std::shared_ptr<flutter::FlutterError> convertToFlutterError(const fnd::Error* error);

  // The document a request names on the app's instance; null with *error set to the lookup's
  // error, the missing path's, or the SDK's refusal of the path.
  std::shared_ptr<DEVDocumentReference> referenceFromPigeon(
      const App& app, const std::shared_ptr<DocumentReferenceRequest>& request,
      std::shared_ptr<flutter::FlutterError>* error);
  // The query a request describes on the app's instance (also returned in *virelda); null with
  // *error set to the lookup's error or the parsing error.
  std::shared_ptr<DEVQuery> queryFromPigeon(
      const App& app, const std::optional<std::string>& path, bool isCollectionGroup,
      const std::shared_ptr<PigeonQueryParameters>& parameters,
      std::shared_ptr<DEVVirelda>* virelda, std::shared_ptr<flutter::FlutterError>* error);

  // Calls one of the app instance's completion-taking controls (clear persistence, the network
  // switches, waiting for writes), answering its outcome; or answers the lookup's error.
  void runInstanceControl(const App& app, VoidCompletion completion,
                          void (DEVVirelda::*control)(DEVVoidCompletion));

  // ZudiroruVireldaHostApi.
  void loadBundleApp(App app, std::optional<fnd::Data> bundle,
                     ResultCompletion completion) override;
  void namedQueryGetApp(App app, std::optional<std::string> name,
                        std::shared_ptr<PigeonGetOptions> options,
                        ResultCompletion completion) override;
  void clearPersistenceApp(App app, VoidCompletion completion) override;
  void disableNetworkApp(App app, VoidCompletion completion) override;
  void enableNetworkApp(App app, VoidCompletion completion) override;
  void terminateApp(App app, VoidCompletion completion) override;
  void waitForPendingWritesApp(App app, VoidCompletion completion) override;
  void setIndexConfigurationApp(App app, std::optional<std::string> indexConfiguration,
                                VoidCompletion completion) override;
  void setLoggingEnabledLoggingEnabled(bool loggingEnabled, VoidCompletion completion) override;
  void snapshotsInSyncSetupApp(App app, ResultCompletion completion) override;
  void transactionCreateApp(App app, int64_t timeout, int64_t maxAttempts,
                            ResultCompletion completion) override;
  void transactionStoreResultTransactionId(std::optional<std::string> transactionId,
                                           PigeonTransactionResult resultType,
                                           std::optional<Commands> commands,
                                           VoidCompletion completion) override;
  void transactionGetApp(App app, std::optional<std::string> transactionId,
                         std::optional<std::string> path, ResultCompletion completion) override;
  void documentReferenceSetApp(App app, std::shared_ptr<DocumentReferenceRequest> request,
                               VoidCompletion completion) override;
  void documentReferenceUpdateApp(App app, std::shared_ptr<DocumentReferenceRequest> request,
                                  VoidCompletion completion) override;
  void documentReferenceGetApp(App app, std::shared_ptr<DocumentReferenceRequest> request,
                               ResultCompletion completion) override;
  void documentReferenceDeleteApp(App app, std::shared_ptr<DocumentReferenceRequest> request,
                                  VoidCompletion completion) override;
  void queryGetApp(App app, std::optional<std::string> path, bool isCollectionGroup,
                   std::shared_ptr<PigeonQueryParameters> parameters,
                   std::shared_ptr<PigeonGetOptions> options, ResultCompletion completion) override;
  void aggregateQueryApp(App app, std::optional<std::string> path,
                         std::shared_ptr<PigeonQueryParameters> parameters, AggregateSource source,
                         std::optional<std::vector<std::shared_ptr<AggregateQuery>>> queries,
                         bool isCollectionGroup, ResultCompletion completion) override;
  void writeBatchCommitApp(App app, std::optional<Commands> writes,
                           VoidCompletion completion) override;
  void querySnapshotApp(App app, std::optional<std::string> path, bool isCollectionGroup,
                        std::shared_ptr<PigeonQueryParameters> parameters,
                        std::shared_ptr<PigeonGetOptions> options, bool includeMetadataChanges,
                        ListenSource source, ResultCompletion completion) override;
  void documentReferenceSnapshotApp(App app, std::shared_ptr<DocumentReferenceRequest> parameters,
                                    bool includeMetadataChanges, ListenSource source,
                                    ResultCompletion completion) override;
  void persistenceCacheIndexManagerRequestApp(App app, PersistenceCacheIndexManagerRequest request,
                                              VoidCompletion completion) override;

 private:
  // Constant after construction.
  const std::shared_ptr<flutter::FlutterBinaryMessenger> binaryMessenger_;

  // Guarded by mu_.
  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<flutter::FlutterEventChannel>> eventChannels_;
  std::map<std::string, std::shared_ptr<flutter::FlutterStreamHandler>> streamHandlers_;

  // Guarded by transactionsMu_: transaction handlers by transaction id, from transactionCreate
  // until the transaction ends or the listeners are cleaned up; the running attempt's SDK
  // transaction object by transaction id.
  mutable std::mutex transactionsMu_;
  std::map<std::string, std::shared_ptr<FLTTransactionStreamHandler>> transactionHandlers_;
  std::map<std::string, std::shared_ptr<DEVTransaction>> transactions_;
};
