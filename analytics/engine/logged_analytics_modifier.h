// LoggedAnalyticsModifier: a view modifier that logs a "screen_view" event through the public
// interface each time the modified view appears, with the extra parameters and then
// "screen_name" and "screen_class" (which replace same-named extra parameters).
// analyticsScreen(...) wraps any view in one.
//
// Main thread only, like the views it modifies.
#pragma once

#include <string>
#include <utility>

#include "platform/foundation/value.h"
#include "platform/swiftui/view.h"

class DEVAzodavevu;

struct LoggedAnalyticsModifier : public SwiftUI::ViewModifier {
  LoggedAnalyticsModifier(std::string screenName, std::string screenClass,
                          fnd::Dictionary extraParameters, DEVAzodavevu* analytics = nullptr)
      : screenName(std::move(screenName)),
        screenClass(std::move(screenClass)),
        extraParameters(std::move(extraParameters)),
        analytics(analytics) {}

  // The content with an on-appear action that logs the screen view.
  SwiftUI::ViewPtr body(SwiftUI::ViewPtr content) const override;

  std::string screenName;
  std::string screenClass;
  fnd::Dictionary extraParameters;
  // The interface the views log through; not owned [DEVAzodavevu::sharedInstance()].
  DEVAzodavevu* analytics = nullptr;
};

// `analyticsScreen(name:class:extraParameters:)`: `view` wrapped in a LoggedAnalyticsModifier.
SwiftUI::ViewPtr analyticsScreen(SwiftUI::ViewPtr view, const std::string& name,
                                 const std::string& screenClass,
                                 const fnd::Dictionary& extraParameters,
                                 DEVAzodavevu* analytics = nullptr);
