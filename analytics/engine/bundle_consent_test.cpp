#include "analytics/engine/bundle_consent.h"

#include <gtest/gtest.h>

#include "analytics/engine/event.h"
#include "analytics/proto/messages.h"
#include "platform/foundation/test_home.h"

namespace {

using Bundle = APMPBMeasurementBundle;

std::shared_ptr<Bundle> NewBundle() { return Bundle::initWithBuffer(nullptr); }

std::shared_ptr<APMPBUserAttribute> Attribute(const std::string& name, int64_t value) {
  auto attribute = APMPBUserAttribute::initWithBuffer(nullptr);
  NANOSetString(attribute.get(), APMPBUserAttribute::kName, name);
  NANOSetInt64(attribute.get(), APMPBUserAttribute::kIntValue, value);
  return attribute;
}

void AddAttribute(Bundle& bundle, const std::shared_ptr<APMPBUserAttribute>& attribute) {
  auto items = NANOGetArray(&bundle, Bundle::kUserAttributes, &APMPBUserAttribute::messageClass())
                   .value_or(fnd::Array());
  items.emplace_back(std::static_pointer_cast<fnd::Record>(attribute));
  NANOSetArray(&bundle, Bundle::kUserAttributes, &items);
}

std::optional<std::string> Str(const Bundle& bundle, int32_t position) {
  if (!NANOHasField(&bundle, position)) return std::nullopt;
  return NANOGetString(&bundle, position).value_or("");
}

ZIVBundleIdentityValues Identity() {
  ZIVBundleIdentityValues identity;
  identity.appleConsentStatus = 3;
  identity.vendorDeviceID = "VENDOR";
  identity.appInstanceID = "AIID";
  identity.ephemeralAppInstanceID = "EPHEMERAL";
  return identity;
}

TEST(BundleConsentTest, IdentifiersFollowConsentSignals) {
  struct Case {
    const char* name;
    std::string signals;
    bool hasAdID;
    uint64_t status;
    bool gate;
    std::optional<std::string> resettable, vendor, appInstance, token, signalsField;
  };
  const Case cases[] = {
      {"three characters deny nothing, field kept", "G11", false, 3, false, std::nullopt, "VENDOR",
       "AIID", "TOKEN", "OLD1"},
      {"both granted, vendor ID in use", "G111", false, 3, false, std::nullopt, "VENDOR", "AIID",
       "TOKEN", "G111"},
      {"both denied", "G1d0", false, 3, false, std::nullopt, std::nullopt, std::nullopt,
       std::nullopt, "G1d0"},
      {"ad ID with tracking authorised and the gate on", "G111", true, 3, true, "ADID",
       std::nullopt, "AIID", "TOKEN", "G111"},
      {"ad ID with tracking denied and the gate on", "G111", true, 2, true, std::nullopt, "VENDOR",
       "AIID", "TOKEN", "G111"},
  };
  for (const Case& c : cases) {
    auto bundle = NewBundle();
    NANOSetString(bundle.get(), Bundle::kConsentSignals, "OLD1");
    NANOSetString(bundle.get(), Bundle::kSessionStitchingToken, "TOKEN");
    ZIVBundleIdentityValues identity = Identity();
    identity.appleConsentStatus = c.status;
    if (c.hasAdID) {
      identity.hasLimitedAdTracking = true;
      identity.resettableDeviceID = "ADID";
    }
    ZIVUpdateConsentSignalsAndIdentifiers(*bundle, c.signals, c.gate, identity, true);
    EXPECT_EQ(Str(*bundle, Bundle::kResettableDeviceId), c.resettable) << c.name;
    EXPECT_EQ(Str(*bundle, Bundle::kVendorId), c.vendor) << c.name;
    EXPECT_EQ(Str(*bundle, Bundle::kAppInstanceId), c.appInstance) << c.name;
    EXPECT_EQ(Str(*bundle, Bundle::kSessionStitchingToken), c.token) << c.name;
    EXPECT_EQ(Str(*bundle, Bundle::kConsentSignals), c.signalsField) << c.name;
    EXPECT_EQ(NANOGetInt32(bundle.get(), Bundle::kAttStatus), static_cast<int32_t>(c.status));
  }
}

TEST(BundleConsentTest, StoredSignalsDecideWithoutFirstOpen) {
  auto bundle = NewBundle();
  NANOSetString(bundle.get(), Bundle::kConsentSignals, "G100");
  ZIVUpdateConsentSignalsAndIdentifiers(*bundle, "G111", false, Identity(), false);
  EXPECT_EQ(Str(*bundle, Bundle::kConsentSignals), "G100");
  EXPECT_EQ(Str(*bundle, Bundle::kAppInstanceId), std::nullopt);  // Denied by the stored state.
}

TEST(BundleConsentTest, DataControls) {
  auto bundle = NewBundle();
  NANOSetString(bundle.get(), Bundle::kOsVersion, "15.3.1");
  NANOSetString(bundle.get(), Bundle::kDeviceModel, "Mac14,2");
  NANOSetString(bundle.get(), Bundle::kAppInstanceId, "AIID");
  AddAttribute(*bundle, Attribute("_id", 1));
  ZIVUpdateDataControls(*bundle, {"device_info"}, Identity());
  EXPECT_EQ(Str(*bundle, Bundle::kOsVersion), "15");
  EXPECT_EQ(Str(*bundle, Bundle::kDeviceModel), std::nullopt);
  EXPECT_EQ(NANOGetArray(bundle.get(), Bundle::kRedactedFields, nullptr),
            std::optional<fnd::Array>(fnd::Array{fnd::Value("device_info")}));
  EXPECT_EQ(Str(*bundle, Bundle::kAppInstanceId), "AIID");

  ZIVUpdateDataControls(*bundle, {"app_instance_id", "user_id", "enhanced_user_id"}, Identity());
  EXPECT_EQ(Str(*bundle, Bundle::kAppInstanceId), std::nullopt);
  EXPECT_EQ(Str(*bundle, Bundle::kEphemeralAppInstanceId), "EPHEMERAL");
  EXPECT_EQ(APMNPAUserPropertyFromBundle(*bundle), nullptr);
  EXPECT_TRUE(
      NANOGetArray(bundle.get(), Bundle::kUserAttributes, &APMPBUserAttribute::messageClass())
          ->empty());
}

TEST(BundleConsentTest, DMAFieldsAndNPA) {
  ZIVBundleServerValues server;
  server.isDMARegion = true;
  server.corePlatformServices = {"b", "a"};
  auto bundle = NewBundle();
  ZIVUpdateDMAConsentSignals(*bundle, "D15", false, Attribute("_npa", 1), server, false);
  EXPECT_EQ(Str(*bundle, Bundle::kConsentDiagnostics), "D15");
  EXPECT_TRUE(NANOGetBool(bundle.get(), Bundle::kDmaRegion));
  EXPECT_EQ(Str(*bundle, Bundle::kCorePlatformServices), "ab");
  EXPECT_EQ(
      NANOGetInt64(APMNPAUserPropertyFromBundle(*bundle).get(), APMPBUserAttribute::kIntValue), 1);
  // Without first open, present values stay; with it, they are replaced.
  ZIVUpdateDMAConsentSignals(*bundle, "D99", true, Attribute("_npa", 0), server, false);
  EXPECT_EQ(Str(*bundle, Bundle::kConsentDiagnostics), "D15");
  EXPECT_EQ(Str(*bundle, Bundle::kCorePlatformServices), "ab");
  ZIVUpdateDMAConsentSignals(*bundle, "D99", true, Attribute("_npa", 0), server, true);
  EXPECT_EQ(Str(*bundle, Bundle::kConsentDiagnostics), "D99");
  EXPECT_EQ(Str(*bundle, Bundle::kCorePlatformServices), "-");
  EXPECT_EQ(
      NANOGetInt64(APMNPAUserPropertyFromBundle(*bundle).get(), APMPBUserAttribute::kIntValue), 0);
}

TEST(BundleConsentTest, CompatibleConsentState) {
  auto withNPA = [](std::optional<int64_t> npa) {
    auto bundle = NewBundle();
    NANOSetString(bundle.get(), Bundle::kConsentSignals, "G111");
    if (npa) AddAttribute(*bundle, Attribute("_npa", *npa));
    return bundle;
  };
  EXPECT_FALSE(ZIVBundlesHaveCompatibleConsentState(withNPA(0).get(), withNPA(1).get()));
  EXPECT_TRUE(ZIVBundlesHaveCompatibleConsentState(withNPA(0).get(), withNPA(std::nullopt).get()));
  auto other = withNPA(std::nullopt);
  NANOSetString(other.get(), Bundle::kConsentDiagnostics, "D1");
  EXPECT_FALSE(ZIVBundlesHaveCompatibleConsentState(withNPA(std::nullopt).get(), other.get()));
  EXPECT_FALSE(ZIVBundlesHaveCompatibleConsentState(nullptr, other.get()));
}

TEST(BundleConsentTest, RealtimeCapSubjects) {
  fnd::ScopedTestHome home;
  for (const char* name : {"_iap", "_f", "_dcu", "_fx"}) {
    auto event = ZIVEvent::initWithOrigin("auto", false, name, 1, 0, fnd::Dictionary());
    ASSERT_NE(event, nullptr) << name;
    EXPECT_FALSE(ZIVIsSubjectToMaxRealtimeCountPerDay(*event, false)) << name;
    EXPECT_EQ(ZIVIsSubjectToMaxDCURealtimeCountPerDay(*event, false), std::string(name) == "_dcu");
  }
  auto event = ZIVEvent::initWithOrigin("app", false, "level_up", 1, 0, fnd::Dictionary());
  EXPECT_TRUE(ZIVIsSubjectToMaxRealtimeCountPerDay(*event, false));
  EXPECT_FALSE(ZIVIsSubjectToMaxRealtimeCountPerDay(*event, true));
}

TEST(BundleConsentTest, FirstOpenBundleIsOneHoldingAFirstOpenEvent) {
  auto event = [](std::optional<std::string> name) {
    auto message = APMPBEvent::initWithBuffer(nullptr);
    if (name) NANOSetString(message.get(), APMPBEvent::kName, fnd::Value(*name));
    return fnd::Value(std::static_pointer_cast<fnd::Record>(message));
  };
  struct Case {
    const char* label;
    std::vector<std::optional<std::string>> names;
    bool firstOpen;
  };
  const std::vector<Case> cases = {
      {"no events", {}, false},
      {"other events", {"_e", "level_up", "_fx"}, false},
      {"first open last", {"_e", std::nullopt, "_f"}, true},
      {"first open first", {"_f", "_e"}, true},
      {"unnamed only", {std::nullopt}, false},
      {"a longer name", {"_f_"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto bundle = NewBundle();
    fnd::Array events;
    for (const auto& name : c.names) events.push_back(event(name));
    NANOSetArray(bundle.get(), Bundle::kEvents, &events);
    EXPECT_EQ(ZIVIsFirstOpenBundle(bundle.get()), c.firstOpen);
    // The same bundle read back from its bytes.
    EXPECT_EQ(ZIVIsFirstOpenBundle(Bundle::initWithBuffer(*bundle->protoBuffer()).get()),
              c.firstOpen);
  }
  EXPECT_FALSE(ZIVIsFirstOpenBundle(nullptr));
}

}  // namespace
