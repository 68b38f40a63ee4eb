// PurchasesFlutterPlugin: the native half of the Dart purchases plugin. Dart calls it on the
// method channel "purchases_flutter"; each call is forwarded, values unchanged, to the Tallycart
// cross-platform layer (TCCommonFunctionality) and answered with what the layer completes with.
// The plugin is also the delegate of the configured TCPurchases, and calls Dart with
// customer-information updates, promoted products ready for purchase and log lines.
//
// Errors from the layer reach Dart as a FlutterError whose code is the layer's numeric code in
// decimal, whose message is the layer's message and whose details are its info map. The method
// name is looked at first (an unknown one answers not-implemented whatever its arguments); the
// arguments a method reads that are of the wrong kind (also arguments that are no map) are
// answered with the code "invalid-arguments" before the layer is reached.
//
// Thread safety: method calls arrive on the main thread. Answers are sent from the thread on which
// the layer completes. Calls into Dart are always queued onto the main queue. The delegate
// operations may run on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/flutter/channel_arguments.h"
#include "platform/flutter/channels.h"
#include "platform/flutter/plugin.h"
#include "platform/foundation/error.h"
#include "platform/foundation/process_info.h"
#include "platform/vendor/tallycart/tallycart.h"

inline constexpr const char* kPurchasesFlutterChannelName = "purchases_flutter";
// Platform identity handed to the SDK at setup.
inline constexpr const char* kPurchasesPlatformFlavor = "flutter";
inline constexpr const char* kPurchasesPlatformFlavorVersion = "8.11.0";

// Methods of the calls into Dart.
extern const char* const PurchasesCustomerInfoUpdatedEvent;
extern const char* const PurchasesReadyForPromotedProductPurchaseEvent;
extern const char* const PurchasesLogHandlerEvent;

class PurchasesFlutterPlugin : public flutter::FlutterPlugin, public TCPurchasesDelegate {
 public:
  // Writes one line to the system log.
  using SystemLog = std::function<void(const std::string& line)>;

  // Installs the channel on the registrar's messenger, over the process's layer and OS version.
  static void registerWithRegistrar(flutter::FlutterPluginRegistrar& registrar);
  // The same with given collaborators; `layer` and `processInfo` must outlive the plugin. A null
  // log writes to standard error. Returns the plugin, which the channel keeps.
  static std::shared_ptr<PurchasesFlutterPlugin> registerWithRegistrar(
      flutter::FlutterPluginRegistrar& registrar, TCCommonFunctionality& layer,
      const fnd::ProcessInfo& processInfo, SystemLog log = nullptr);

  // Use registerWithRegistrar; public for std::make_shared.
  PurchasesFlutterPlugin(std::shared_ptr<flutter::FlutterMethodChannel> channel,
                         TCCommonFunctionality& layer, const fnd::ProcessInfo& processInfo,
                         SystemLog log);

  const std::shared_ptr<flutter::FlutterMethodChannel>& channel() const { return channel_; }

  // FlutterPlugin. REQUIRES: the main thread.
  void handleMethodCall(const flutter::FlutterMethodCall& call,
                        flutter::FlutterResult result) override;

  // TCPurchasesDelegate; any thread.
  void purchasesReceivedUpdatedCustomerInfo(TCPurchases& purchases,
                                            const fnd::Dictionary& customerInfo) override;
  void purchasesReadyForPromotedProduct(TCPurchases& purchases,
                                        const std::string& productIdentifier,
                                        TCStartPurchaseBlock startPurchase) override;

  // A completion that answers `result` with the response, or with the error shape.
  static TCResponseBlock getResponseCompletionBlock(flutter::FlutterResult result);
  // Answers `result` with the error shape of `error`.
  static void rejectWithResult(const flutter::FlutterResult& result, const TCErrorContainer& error);
  // The error of a feature that the running system lacks (domain "Tallycart.ErrorCode", 24).
  static fnd::Error createUnsupportedErrorWithDescription(const std::string& description);

 private:
  using Method = std::function<void(PurchasesFlutterPlugin& self, flutter::ChannelArguments& args,
                                    const flutter::FlutterResult& result)>;
  using Methods = flutter::MethodTable<Method>;
  // The channel's methods, by name; made once.
  static const Methods& methods();
  static Methods* MakeMethods();

  // Queues a call into Dart onto the main queue.
  void invokeDart(const char* method, fnd::Value arguments);
  bool systemAtLeast(int64_t major, int64_t minor) const;

  // Constant after construction.
  const std::shared_ptr<flutter::FlutterMethodChannel> channel_;
  TCCommonFunctionality& layer_;
  const fnd::ProcessInfo& processInfo_;
  const SystemLog log_;
  std::weak_ptr<PurchasesFlutterPlugin> self_;  // Set once by registerWithRegistrar.

  // Guarded by mu_: appended from the delegate's thread, read on the main thread. A block's
  // position is its callback ID; entries are never removed, so an ID stays valid.
  std::mutex mu_;
  std::vector<TCStartPurchaseBlock> startPurchaseBlocks_;
};
