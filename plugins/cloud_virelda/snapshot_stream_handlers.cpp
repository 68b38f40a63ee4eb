#include "plugins/cloud_virelda/snapshot_stream_handlers.h"

#include <utility>

#include "platform/dispatch/queue.h"
#include "plugins/cloud_virelda/virelda_pigeon_parser.h"
#include "plugins/cloud_virelda/virelda_utils.h"
#include "plugins/cloud_virelda/zudiroru_virelda_plugin.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

namespace {

// Sends event to the sink from a job on the main queue.
void SendOnMain(const flutter::FlutterEventSink& sink, fnd::Value event) {
  dispatch::Queue::main()->async([sink, event = std::move(event)] {
    if (sink) sink(event);
  });
}

// Sends the stream error of a failed snapshot; true when there was one.
template <typename Snapshot>
bool SentError(const flutter::FlutterEventSink& events, const std::shared_ptr<Snapshot>& snapshot,
               const std::optional<fnd::Error>& error) {
  if (!error && snapshot) return false;
  fnd::Error e = error.value_or(DEVVireldaError(DEVVireldaErrorCodeUnknown, ""));
  SendOnMain(events, fnd::Value(FLTVireldaStreamError(e)));
  return true;
}

}  // namespace

std::shared_ptr<flutter::FlutterError> FLTVireldaStreamError(const fnd::Error& error) {
  auto [code, message] = FLTZudiroruVireldaUtils::ErrorCodeAndMessageFromNSError(&error);
  return FLTZudiroruPlugin::createFlutterErrorFromCode(
      code, message, fnd::Dictionary{{"code", code}, {"message", message}}, &error);
}

// ---- Listener streams ----

std::shared_ptr<flutter::FlutterError> FLTListenerStreamHandler::onListenWithArguments(
    const fnd::Value&, flutter::FlutterEventSink events) {
  if (listenerRegistration_) listenerRegistration_->remove();
  std::shared_ptr<flutter::FlutterError> error;
  listenerRegistration_ = listen(std::move(events), &error);
  return error;
}

std::shared_ptr<flutter::FlutterError> FLTListenerStreamHandler::onCancelWithArguments(
    const fnd::Value&) {
  if (listenerRegistration_) listenerRegistration_->remove();
  listenerRegistration_ = nullptr;
  return nullptr;
}

FLTSnapshotListenerStreamHandler::FLTSnapshotListenerStreamHandler(
    std::shared_ptr<DEVVirelda> virelda, bool includeMetadataChanges,
    int64_t serverTimestampBehavior, uint64_t source)
    : virelda_(std::move(virelda)),
      includeMetadataChanges_(includeMetadataChanges),
      source_(source),
      serverTimestampBehavior_(serverTimestampBehavior) {}

std::shared_ptr<DEVSnapshotListenOptions> FLTSnapshotListenerStreamHandler::listenOptions() const {
  return std::make_shared<DEVSnapshotListenOptions>()
      ->optionsWithIncludeMetadataChanges(includeMetadataChanges_)
      ->optionsWithSource(static_cast<int64_t>(source_));
}

// ---- Documents ----

FLTDocumentSnapshotStreamHandler::FLTDocumentSnapshotStreamHandler(
    std::shared_ptr<DEVVirelda> virelda, std::shared_ptr<DEVDocumentReference> reference,
    bool includeMetadataChanges, int64_t serverTimestampBehavior, uint64_t source)
    : FLTSnapshotListenerStreamHandler(std::move(virelda), includeMetadataChanges,
                                       serverTimestampBehavior, source),
      reference_(std::move(reference)) {}

std::shared_ptr<DEVListenerRegistration> FLTDocumentSnapshotStreamHandler::listen(
    flutter::FlutterEventSink events, std::shared_ptr<flutter::FlutterError>*) {
  int64_t behavior = serverTimestampBehavior_;
  return reference_->addSnapshotListenerWithOptions(
      listenOptions(), [events, behavior](std::shared_ptr<DEVDocumentSnapshot> snapshot,
                                          const std::optional<fnd::Error>& error) {
        if (SentError(events, snapshot, error)) return;
        SendOnMain(
            events,
            fnd::Value(
                VireldaPigeonParser::toPigeonDocumentSnapshot(*snapshot, behavior)->toList()));
      });
}

// ---- Queries ----

FLTQuerySnapshotStreamHandler::FLTQuerySnapshotStreamHandler(std::shared_ptr<DEVVirelda> virelda,
                                                             std::shared_ptr<DEVQuery> query,
                                                             bool includeMetadataChanges,
                                                             int64_t serverTimestampBehavior,
                                                             uint64_t source)
    : FLTSnapshotListenerStreamHandler(std::move(virelda), includeMetadataChanges,
                                       serverTimestampBehavior, source),
      query_(std::move(query)) {}

std::shared_ptr<DEVListenerRegistration> FLTQuerySnapshotStreamHandler::listen(
    flutter::FlutterEventSink events, std::shared_ptr<flutter::FlutterError>* error) {
  if (!query_) {
    *error = std::make_shared<flutter::FlutterError>(kFLTVireldaSdkErrorCode,
                                                     kFLTVireldaSdkErrorMessage, fnd::Value());
    return nullptr;
  }
  int64_t behavior = serverTimestampBehavior_;
  return query_->addSnapshotListenerWithOptions(
      listenOptions(), [events, behavior](std::shared_ptr<DEVQuerySnapshot> snapshot,
                                          const std::optional<fnd::Error>& error) {
        if (SentError(events, snapshot, error)) return;
        fnd::Array documents;
        for (const auto& document : snapshot->documents()) {
          documents.emplace_back(
              VireldaPigeonParser::toPigeonDocumentSnapshot(*document, behavior)->toList());
        }
        fnd::Array changes;
        for (const auto& change : snapshot->documentChanges()) {
          VireldaException exception;
          auto converted =
              VireldaPigeonParser::toPigeonDocumentChange(*change, behavior, &exception);
          if (!converted) {
            // A change type this bridge does not know cannot be described to Dart.
            return SendOnMain(events, fnd::Value(FLTVireldaStreamError(DEVVireldaError(
                                          DEVVireldaErrorCodeInternal, exception.reason))));
          }
          changes.emplace_back(converted->toList());
        }
        fnd::Array event{
            fnd::Value(std::move(documents)), fnd::Value(std::move(changes)),
            fnd::Value(
                VireldaPigeonParser::toPigeonSnapshotMetadata(*snapshot->metadata())->toList())};
        SendOnMain(events, fnd::Value(std::move(event)));
      });
}

// ---- Snapshots in sync ----

FLTSnapshotsInSyncStreamHandler::FLTSnapshotsInSyncStreamHandler(
    std::shared_ptr<DEVVirelda> virelda)
    : virelda_(std::move(virelda)) {}

std::shared_ptr<DEVListenerRegistration> FLTSnapshotsInSyncStreamHandler::listen(
    flutter::FlutterEventSink events, std::shared_ptr<flutter::FlutterError>*) {
  return virelda_->addSnapshotsInSyncListener([events] { SendOnMain(events, fnd::Value()); });
}

// ---- Bundles ----

FLTLoadBundleStreamHandler::FLTLoadBundleStreamHandler(std::shared_ptr<DEVVirelda> virelda,
                                                       fnd::Data bundle)
    : virelda_(std::move(virelda)), bundle_(std::move(bundle)) {}

std::shared_ptr<flutter::FlutterError> FLTLoadBundleStreamHandler::onListenWithArguments(
    const fnd::Value&, flutter::FlutterEventSink events) {
  if (task_) task_->removeAllObservers();
  task_ = virelda_->loadBundle(bundle_, [events](std::shared_ptr<DEVLoadBundleTaskProgress>,
                                                 const std::optional<fnd::Error>& error) {
    if (error) SendOnMain(events, fnd::Value(FLTVireldaStreamError(*error)));
  });
  task_->addObserver([events](std::shared_ptr<DEVLoadBundleTaskProgress> progress) {
    if (!progress) return;
    // The state is read in the main-queue job; a failed load reports through the completion.
    dispatch::Queue::main()->async([events, progress] {
      if (progress->state() != 0 && events) events(fnd::Value(progress));
    });
  });
  return nullptr;
}

std::shared_ptr<flutter::FlutterError> FLTLoadBundleStreamHandler::onCancelWithArguments(
    const fnd::Value&) {
  if (task_) task_->removeAllObservers();
  task_ = nullptr;
  return nullptr;
}
