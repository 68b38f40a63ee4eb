#include "platform/flutter/plugin.h"

#include <utility>

namespace flutter {

void FlutterPlugin::handleMethodCall(const FlutterMethodCall&, FlutterResult result) {
  result(FlutterMethodNotImplemented());
}

void FlutterPlugin::detachFromEngineForRegistrar(FlutterPluginRegistrar&) {}

void FlutterAppLifecycleDelegate::handleWillFinishLaunching(const fnd::Notification&) {}
void FlutterAppLifecycleDelegate::handleDidFinishLaunching(const fnd::Notification&) {}
void FlutterAppLifecycleDelegate::handleWillBecomeActive(const fnd::Notification&) {}
void FlutterAppLifecycleDelegate::handleDidBecomeActive(const fnd::Notification&) {}
void FlutterAppLifecycleDelegate::handleWillResignActive(const fnd::Notification&) {}
void FlutterAppLifecycleDelegate::handleDidResignActive(const fnd::Notification&) {}
void FlutterAppLifecycleDelegate::handleWillTerminate(const fnd::Notification&) {}
bool FlutterAppLifecycleDelegate::handleOpenURLs(const std::vector<std::string>&) { return false; }

void FlutterPluginRegistrar::addMethodCallDelegate(
    std::shared_ptr<FlutterPlugin> delegate, const std::shared_ptr<FlutterMethodChannel>& channel) {
  if (!channel) return;
  if (!delegate) {
    channel->setMethodCallHandler(nullptr);
    return;
  }
  channel->setMethodCallHandler(
      [delegate = std::move(delegate)](const FlutterMethodCall& call, FlutterResult result) {
        delegate->handleMethodCall(call, std::move(result));
      });
}

}  // namespace flutter
