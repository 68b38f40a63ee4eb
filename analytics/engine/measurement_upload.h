// The upload component of ZIVMeasurement: fills the engine's ZIVMeasurementUploader hook with a
// ZIVUploader (and its ZIVBundler) per engine instance, made on first use from the engine's own
// database, server settings, persisted settings, network object, worker queue, upload timer,
// consent state and identity. The engine's pending-request flag and upload suspension time are
// the uploader's, so attribution requests and uploads keep out of each other's way.
//
// install() registers it for the process (ZIVMeasurementInstallComponents); the engine calls it
// when it is created.
//
// Thread safety: the hook methods run on the engine's worker queue.
#pragma once

#include <memory>
#include <mutex>

#include "analytics/engine/bundling_hooks.h"
#include "analytics/engine/measurement_components.h"

class ZIVUploader;

class ZIVMeasurementUploadComponent : public ZIVMeasurementUploader {
 public:
  // Installs one component for the process (once; later calls do nothing).
  static void install();

  // `audiences` and `purchases` are the hooks bundling and the configuration fetch use (null: the
  // engine's audience evaluator, which the audiences component makes as a ZIVAudience, and the
  // built-in purchase rules).
  explicit ZIVMeasurementUploadComponent(std::shared_ptr<ZIVAudienceHooks> audiences = nullptr,
                                         std::shared_ptr<ZIVPurchaseHooks> purchases = nullptr);

  bool isPresent() const override { return true; }
  void updateSchedule(ZIVMeasurement& measurement) override;
  void uploadData(ZIVMeasurement& measurement) override;
  bool isNetworkReadyForRequest(ZIVMeasurement& measurement) override;
  void fetchMeasurementConfig(ZIVMeasurement& measurement) override;

  // The uploader of an engine, made on first use; null while the engine has no database or
  // settings yet.
  std::shared_ptr<ZIVUploader> uploaderFor(ZIVMeasurement& measurement);

 private:
  const std::shared_ptr<ZIVAudienceHooks> audiences_;
  const std::shared_ptr<ZIVPurchaseHooks> purchases_;

  std::mutex mu_;
  std::weak_ptr<ZIVMeasurement> owner_;    // Guarded by mu_.
  std::shared_ptr<ZIVUploader> uploader_;  // Guarded by mu_.
};
