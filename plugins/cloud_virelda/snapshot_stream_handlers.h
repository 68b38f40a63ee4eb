// The stream handlers of the Virelda event channels for document snapshots, query snapshots,
// snapshots-in-sync notices and bundle loading. Each is made by its host method and registered on
// its own event channel; listening attaches an SDK listener, cancelling removes it, and the handler
// can be listened to again afterwards.
//
// Listen and cancel run on the main queue. SDK callbacks arrive on the instance's callback queue;
// every event and stream error is sent from a job queued onto the main queue, so the events of
// one stream reach Dart in callback order. No stream ever sends the end-of-stream marker.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/flutter/channels.h"
#include "platform/vendor/virelda/virelda.h"

// The stream error of an SDK error: the error table's code and message, details {"code",
// "message"}, plus the native code and message of the SDK error.
std::shared_ptr<flutter::FlutterError> FLTVireldaStreamError(const fnd::Error& error);

// A stream that holds one SDK listener while Dart listens: listening replaces the listener,
// cancelling removes it.
class FLTListenerStreamHandler : public flutter::FlutterStreamHandler {
 public:
  std::shared_ptr<flutter::FlutterError> onListenWithArguments(
      const fnd::Value& arguments, flutter::FlutterEventSink events) final;
  std::shared_ptr<flutter::FlutterError> onCancelWithArguments(const fnd::Value& arguments) final;

 protected:
  // Attaches the SDK listener that feeds `events`; null with *error set when it cannot.
  virtual std::shared_ptr<DEVListenerRegistration> listen(
      flutter::FlutterEventSink events, std::shared_ptr<flutter::FlutterError>* error) = 0;

 private:
  // Owned by the main queue.
  std::shared_ptr<DEVListenerRegistration> listenerRegistration_;
};

// A stream of snapshots with the listen options and server-timestamp behaviour Dart chose.
class FLTSnapshotListenerStreamHandler : public FLTListenerStreamHandler {
 protected:
  FLTSnapshotListenerStreamHandler(std::shared_ptr<DEVVirelda> virelda, bool includeMetadataChanges,
                                   int64_t serverTimestampBehavior, uint64_t source);

  std::shared_ptr<DEVSnapshotListenOptions> listenOptions() const;

  // Constant after construction.
  const std::shared_ptr<DEVVirelda> virelda_;
  const bool includeMetadataChanges_;
  const uint64_t source_;
  const int64_t serverTimestampBehavior_;
};

// Snapshots of one document, as PigeonDocumentSnapshot field lists.
class FLTDocumentSnapshotStreamHandler : public FLTSnapshotListenerStreamHandler {
 public:
  FLTDocumentSnapshotStreamHandler(std::shared_ptr<DEVVirelda> virelda,
                                   std::shared_ptr<DEVDocumentReference> reference,
                                   bool includeMetadataChanges, int64_t serverTimestampBehavior,
                                   uint64_t source);

 private:
  std::shared_ptr<DEVListenerRegistration> listen(
      flutter::FlutterEventSink events, std::shared_ptr<flutter::FlutterError>* error) override;

  const std::shared_ptr<DEVDocumentReference> reference_;
};

// Snapshots of one query: each event is [document field lists, change field lists, metadata
// field list].
class FLTQuerySnapshotStreamHandler : public FLTSnapshotListenerStreamHandler {
 public:
  // A null query is accepted here and refused at listen time with "sdk-error".
  FLTQuerySnapshotStreamHandler(std::shared_ptr<DEVVirelda> virelda,
                                std::shared_ptr<DEVQuery> query, bool includeMetadataChanges,
                                int64_t serverTimestampBehavior, uint64_t source);

 private:
  std::shared_ptr<DEVListenerRegistration> listen(
      flutter::FlutterEventSink events, std::shared_ptr<flutter::FlutterError>* error) override;

  const std::shared_ptr<DEVQuery> query_;
};

// A null event each time the instance's listeners are in sync.
class FLTSnapshotsInSyncStreamHandler : public FLTListenerStreamHandler {
 public:
  explicit FLTSnapshotsInSyncStreamHandler(std::shared_ptr<DEVVirelda> virelda);

 private:
  std::shared_ptr<DEVListenerRegistration> listen(
      flutter::FlutterEventSink events, std::shared_ptr<flutter::FlutterError>* error) override;

  const std::shared_ptr<DEVVirelda> virelda_;
};

// The progress of one bundle load: every report in the running or success state; a failure comes
// as one stream error. Cancelling stops the reports but not the load.
class FLTLoadBundleStreamHandler : public flutter::FlutterStreamHandler {
 public:
  FLTLoadBundleStreamHandler(std::shared_ptr<DEVVirelda> virelda, fnd::Data bundle);

  std::shared_ptr<flutter::FlutterError> onListenWithArguments(
      const fnd::Value& arguments, flutter::FlutterEventSink events) override;
  std::shared_ptr<flutter::FlutterError> onCancelWithArguments(
      const fnd::Value& arguments) override;

 private:
  // Constant after construction.
  const std::shared_ptr<DEVVirelda> virelda_;
  const fnd::Data bundle_;
  // Owned by the main queue.
  std::shared_ptr<DEVLoadBundleTask> task_;
};
