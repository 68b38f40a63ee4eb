// Test support: builds store receipts byte by byte (DER receipt attributes inside a PKCS#7
// signed-data container signed with a throw-away key), so that the parser is tested against
// receipts whose every byte the test chose. Shared by the unit tests and the fuzz seed builder.
#pragma once

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace receipt_test {

using Bytes = fnd::Data;

// One DER element: tag, definite length (short or long form), contents.
inline Bytes Der(uint8_t tag, const Bytes& contents) {
  Bytes out{tag};
  const size_t n = contents.size();
  if (n < 128) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n < 256) {
    out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.push_back(static_cast<uint8_t>(n));
  }
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
inline Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// INTEGER contents of a non-negative number, minimal, with a leading zero when the top bit is set.
inline Bytes IntegerContents(uint64_t value) {
  Bytes out;
  do {
    out.insert(out.begin(), static_cast<uint8_t>(value & 0xff));
    value >>= 8;
  } while (value != 0);
  if (out.front() & 0x80) out.insert(out.begin(), 0);
  return out;
}
inline Bytes Integer(uint64_t value) { return Der(0x02, IntegerContents(value)); }

// SEQUENCE { INTEGER type, INTEGER 1, OCTET STRING value }.
inline Bytes Attribute(uint64_t type, const Bytes& value) {
  return Der(0x30, Concat({Integer(type), Integer(1), Der(0x04, value)}));
}
inline Bytes UTF8(const std::string& text) { return Der(0x0c, Text(text)); }
inline Bytes IA5(const std::string& text) { return Der(0x16, Text(text)); }

// The fields of one in-app purchase record; empty ones are left out.
struct Purchase {
  std::optional<std::string> productID, transactionID, originalTransactionID;
  std::optional<std::string> purchaseDate, originalPurchaseDate, expirationDate, cancellationDate;
  std::optional<Bytes> webOrderLineItemID;  // INTEGER contents.
  std::optional<Bytes> purchaseType, freeTrial, introductoryOffer;
};

inline Bytes PurchaseRecord(const Purchase& p) {
  std::vector<Bytes> fields;
  if (p.productID) fields.push_back(Attribute(1702, UTF8(*p.productID)));
  if (p.transactionID) fields.push_back(Attribute(1703, UTF8(*p.transactionID)));
  if (p.purchaseDate) fields.push_back(Attribute(1704, IA5(*p.purchaseDate)));
  if (p.originalTransactionID) fields.push_back(Attribute(1705, UTF8(*p.originalTransactionID)));
  if (p.originalPurchaseDate) fields.push_back(Attribute(1706, IA5(*p.originalPurchaseDate)));
  if (p.purchaseType) fields.push_back(Attribute(1707, Der(0x02, *p.purchaseType)));
  if (p.expirationDate) fields.push_back(Attribute(1708, IA5(*p.expirationDate)));
  if (p.webOrderLineItemID) fields.push_back(Attribute(1711, Der(0x02, *p.webOrderLineItemID)));
  if (p.cancellationDate) fields.push_back(Attribute(1712, IA5(*p.cancellationDate)));
  if (p.freeTrial) fields.push_back(Attribute(1713, Der(0x02, *p.freeTrial)));
  if (p.introductoryOffer) fields.push_back(Attribute(1719, Der(0x02, *p.introductoryOffer)));
  return Attribute(17, Der(0x31, Concat(fields)));
}

// What goes into the receipt's attribute set.
struct Receipt {
  std::string bundleID = "com.example.quellmark";
  std::string originalVersion = "1.0";
  Bytes opaque = {0x5a, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  // The hash attribute; nullopt leaves it out.
  std::optional<Bytes> hash;
  bool includeOpaque = true;
  std::vector<Purchase> purchases;
  // Attributes placed before everything else.
  std::vector<Bytes> leading;
};

inline Bytes ReceiptPayload(const Receipt& r) {
  std::vector<Bytes> attributes = r.leading;
  attributes.push_back(Attribute(2, UTF8(r.bundleID)));
  attributes.push_back(Attribute(3, UTF8("7.2")));
  if (r.includeOpaque) attributes.push_back(Attribute(4, r.opaque));
  if (r.hash) attributes.push_back(Attribute(5, *r.hash));
  attributes.push_back(Attribute(19, UTF8(r.originalVersion)));
  for (const auto& p : r.purchases) attributes.push_back(PurchaseRecord(p));
  return Der(0x31, Concat(attributes));
}

// The bytes the device check hashes: device ID, opaque value, bundle identifier value.
inline Bytes HashInput(const Bytes& deviceID, const Receipt& r) {
  return Concat({deviceID, r.opaque, UTF8(r.bundleID)});
}

inline Bytes Digest(const EVP_MD* md, const Bytes& input) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EVP_Digest(input.data(), input.size(), out.data(), &length, md, nullptr);
  out.resize(length);
  return out;
}

// `payload` as the content of a PKCS#7 signed-data container, signed with a fresh P-256 key and
// a self-signed certificate. Empty on failure.
inline Bytes SignedContainer(const Bytes& payload) {
  Bytes out;
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  BIO* content = BIO_new_mem_buf(payload.data(), static_cast<int>(payload.size()));
  if (key && cert && content) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("quellmark.example"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    PKCS7* p7 = PKCS7_sign(cert, key, nullptr, content, PKCS7_BINARY);
    if (p7) {
      unsigned char* der = nullptr;
      int length = i2d_PKCS7(p7, &der);
      if (length > 0) out.assign(der, der + length);
      OPENSSL_free(der);
      PKCS7_free(p7);
    }
  }
  BIO_free(content);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

}  // namespace receipt_test
