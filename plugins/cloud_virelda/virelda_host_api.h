// The Virelda host interface: 23 request/reply channels named "dev.flutter.pigeon." +
// "cloud_virelda_platform_interface.ZudiroruVireldaHostApi." + the method name, all with one
// codec that carries the interface's messages (type bytes 128 to 140) holding Virelda values
// (180 to 199).
//
// A request is the list of the method's arguments; the reply is [result] on success and
// [code, message, details] on failure. A request that cannot be decoded, is not a list or holds
// an argument of the wrong kind is answered with an error reply (code "decode-error" or
// "invalid-argument") and never reaches the interface. A null argument reaches it as null
// (numbers and booleans as 0 / false).
//
// Handlers run on the main queue; a method may call its completion later, once, from any thread,
// and the reply is sent from there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/flutter/binary_messenger.h"
#include "platform/flutter/codec.h"
#include "platform/flutter/standard_codec.h"
#include "plugins/cloud_virelda/virelda_codec.h"
#include "plugins/cloud_virelda/virelda_messages.h"
#include "plugins/zudiroru_core/pigeon.h"

// The interface's messages (type bytes 128 to 140), each with its type byte.
const std::vector<zudiroru::PigeonType>& ZudiroruVireldaHostApiTypes();

// The reader, writer and reader-writer of the interface's codec: the Pigeon scheme over the
// Virelda value codec.
class ZudiroruVireldaHostApiCodecReader : public zudiroru::PigeonReader<FLTZudiroruVireldaReader> {
 public:
  explicit ZudiroruVireldaHostApiCodecReader(std::span<const uint8_t> data)
      : PigeonReader(data, ZudiroruVireldaHostApiTypes()) {}
};

class ZudiroruVireldaHostApiCodecWriter : public zudiroru::PigeonWriter<FLTZudiroruVireldaWriter> {
 public:
  explicit ZudiroruVireldaHostApiCodecWriter(fnd::Data* data)
      : PigeonWriter(data, ZudiroruVireldaHostApiTypes()) {}
};

class ZudiroruVireldaHostApiCodecReaderWriter
    : public zudiroru::PigeonCodecReaderWriter<FLTZudiroruVireldaReader, FLTZudiroruVireldaWriter> {
 public:
  ZudiroruVireldaHostApiCodecReaderWriter()
      : PigeonCodecReaderWriter(ZudiroruVireldaHostApiTypes()) {}
};

// The codec of the 23 channels, made once.
std::shared_ptr<const flutter::FlutterStandardMessageCodec> ZudiroruVireldaHostApiGetCodec();

// The channel-name prefix of the interface, after the Pigeon prefix.
inline constexpr const char* kZudiroruVireldaHostApiName =
    "cloud_virelda_platform_interface.ZudiroruVireldaHostApi.";

// What the Virelda plugin implements. Every method gets its completion last and calls it once:
// with a null error on success (and the result, a value of the kind named, for a method with
// one), or with the error.
class ZudiroruVireldaHostApi {
 public:
  using VoidCompletion = std::function<void(std::shared_ptr<flutter::FlutterError> error)>;
  using ResultCompletion =
      std::function<void(const fnd::Value& result, std::shared_ptr<flutter::FlutterError> error)>;
  using App = std::shared_ptr<VireldaPigeonZudiroruApp>;
  using Commands = std::vector<std::shared_ptr<PigeonTransactionCommand>>;

  virtual ~ZudiroruVireldaHostApi() = default;

  // Result: the event channel id (string).
  virtual void loadBundleApp(App app, std::optional<fnd::Data> bundle,
                             ResultCompletion completion) = 0;
  // Result: PigeonQuerySnapshot.
  virtual void namedQueryGetApp(App app, std::optional<std::string> name,
                                std::shared_ptr<PigeonGetOptions> options,
                                ResultCompletion completion) = 0;
  virtual void clearPersistenceApp(App app, VoidCompletion completion) = 0;
  virtual void disableNetworkApp(App app, VoidCompletion completion) = 0;
  virtual void enableNetworkApp(App app, VoidCompletion completion) = 0;
  virtual void terminateApp(App app, VoidCompletion completion) = 0;
  virtual void waitForPendingWritesApp(App app, VoidCompletion completion) = 0;
  virtual void setIndexConfigurationApp(App app, std::optional<std::string> indexConfiguration,
                                        VoidCompletion completion) = 0;
  virtual void setLoggingEnabledLoggingEnabled(bool loggingEnabled, VoidCompletion completion) = 0;
  // Result: the event channel id (string).
  virtual void snapshotsInSyncSetupApp(App app, ResultCompletion completion) = 0;
  // Result: the transaction id (string).
  virtual void transactionCreateApp(App app, int64_t timeout, int64_t maxAttempts,
                                    ResultCompletion completion) = 0;
  virtual void transactionStoreResultTransactionId(std::optional<std::string> transactionId,
                                                   PigeonTransactionResult resultType,
                                                   std::optional<Commands> commands,
                                                   VoidCompletion completion) = 0;
  // Result: PigeonDocumentSnapshot or null.
  virtual void transactionGetApp(App app, std::optional<std::string> transactionId,
                                 std::optional<std::string> path, ResultCompletion completion) = 0;
  virtual void documentReferenceSetApp(App app, std::shared_ptr<DocumentReferenceRequest> request,
                                       VoidCompletion completion) = 0;
  virtual void documentReferenceUpdateApp(App app,
                                          std::shared_ptr<DocumentReferenceRequest> request,
                                          VoidCompletion completion) = 0;
  // Result: PigeonDocumentSnapshot.
  virtual void documentReferenceGetApp(App app, std::shared_ptr<DocumentReferenceRequest> request,
                                       ResultCompletion completion) = 0;
  virtual void documentReferenceDeleteApp(App app,
                                          std::shared_ptr<DocumentReferenceRequest> request,
                                          VoidCompletion completion) = 0;
  // Result: PigeonQuerySnapshot.
  virtual void queryGetApp(App app, std::optional<std::string> path, bool isCollectionGroup,
                           std::shared_ptr<PigeonQueryParameters> parameters,
                           std::shared_ptr<PigeonGetOptions> options,
                           ResultCompletion completion) = 0;
  // Result: list of AggregateQueryResponse.
  virtual void aggregateQueryApp(
      App app, std::optional<std::string> path, std::shared_ptr<PigeonQueryParameters> parameters,
      AggregateSource source, std::optional<std::vector<std::shared_ptr<AggregateQuery>>> queries,
      bool isCollectionGroup, ResultCompletion completion) = 0;
  virtual void writeBatchCommitApp(App app, std::optional<Commands> writes,
                                   VoidCompletion completion) = 0;
  // Result: the event channel id (string).
  virtual void querySnapshotApp(App app, std::optional<std::string> path, bool isCollectionGroup,
                                std::shared_ptr<PigeonQueryParameters> parameters,
                                std::shared_ptr<PigeonGetOptions> options,
                                bool includeMetadataChanges, ListenSource source,
                                ResultCompletion completion) = 0;
  // Result: the event channel id (string).
  virtual void documentReferenceSnapshotApp(App app,
                                            std::shared_ptr<DocumentReferenceRequest> parameters,
                                            bool includeMetadataChanges, ListenSource source,
                                            ResultCompletion completion) = 0;
  virtual void persistenceCacheIndexManagerRequestApp(App app,
                                                      PersistenceCacheIndexManagerRequest request,
                                                      VoidCompletion completion) = 0;
};

// Installs the 23 channels on messenger, in declaration order, with api as their implementation;
// a null api removes their handlers.
void ZudiroruVireldaHostApiSetup(const std::shared_ptr<flutter::FlutterBinaryMessenger>& messenger,
                                 const std::shared_ptr<ZudiroruVireldaHostApi>& api);
