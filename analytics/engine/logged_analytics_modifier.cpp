#include "analytics/engine/logged_analytics_modifier.h"

#include "analytics/engine/azodavevu.h"

SwiftUI::ViewPtr LoggedAnalyticsModifier::body(SwiftUI::ViewPtr content) const {
  return content->onAppear(
      [name = screenName, screenClass = screenClass, extra = extraParameters, target = analytics] {
        fnd::Dictionary parameters = extra;
        parameters.set("screen_name", name);
        parameters.set("screen_class", screenClass);
        DEVAzodavevu& interface = target ? *target : DEVAzodavevu::sharedInstance();
        interface.logEventWithName("screen_view", parameters);
      });
}

SwiftUI::ViewPtr analyticsScreen(SwiftUI::ViewPtr view, const std::string& name,
                                 const std::string& screenClass,
                                 const fnd::Dictionary& extraParameters, DEVAzodavevu* analytics) {
  return SwiftUI::modifier(std::move(view),
                           LoggedAnalyticsModifier(name, screenClass, extraParameters, analytics));
}
