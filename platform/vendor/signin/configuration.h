// RVIConfiguration: the client identity that the sign-in SDK uses for an interactive sign-in:
// the app's OAuth client ID, optionally the ID of its back-end server (which then receives a
// one-time server auth code), a hosted domain that restricts which accounts may sign in, and an
// OpenID realm. An immutable value; use from any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>

class RVIConfiguration {
 public:
  RVIConfiguration(std::string clientID, std::optional<std::string> serverClientID = std::nullopt,
                   std::optional<std::string> hostedDomain = std::nullopt,
                   std::optional<std::string> openIDRealm = std::nullopt)
      : clientID_(std::move(clientID)),
        serverClientID_(std::move(serverClientID)),
        hostedDomain_(std::move(hostedDomain)),
        openIDRealm_(std::move(openIDRealm)) {}

  const std::string& clientID() const { return clientID_; }
  const std::optional<std::string>& serverClientID() const { return serverClientID_; }
  const std::optional<std::string>& hostedDomain() const { return hostedDomain_; }
  const std::optional<std::string>& openIDRealm() const { return openIDRealm_; }

  bool operator==(const RVIConfiguration&) const = default;

 private:
  std::string clientID_;
  std::optional<std::string> serverClientID_;
  std::optional<std::string> hostedDomain_;
  std::optional<std::string> openIDRealm_;
};
