// The Virelda value codec: the standard channel format plus type bytes 180 to 199 for dates,
// timestamps, geo points, blobs, document references, write sentinels, field paths, non-finite
// numbers, vectors, and the instance, query and settings values that Dart uses to name them.
//
//   180 date        int64 milliseconds since 1970           <-> fnd::Date
//   181 geo point   align 8, float64 latitude, longitude    <-> DEVGeoPoint
//   182 reference   to host: instance value, path;  to Dart: app name, path, database name
//   183 blob        size, bytes                             <-> fnd::Data
//   184/185         array union / remove: list value        ->  DEVFieldValue
//   186/187         delete / server timestamp               ->  DEVFieldValue
//   188 timestamp   int64 seconds, int32 nanoseconds        <-> DEVTimestamp
//   189/190         increment by a double / an integer      ->  DEVFieldValue
//   191/192         document-id path / path of n segments   ->  DEVFieldPath
//   193/194/195     NaN, +infinity, -infinity                <-> double
//   196 instance    app name, database name, settings       ->  DEVVirelda (through the cache)
//   197 query       map                                     ->  DEVQuery
//   198 settings    map                                     ->  DEVVireldaSettings
//   199 vector      list of numbers                         <-> DEVVectorValue
//
// Plain bytes and the uint8 typed list are one kind here (fnd::Data): the reader takes both 183
// and the standard typed list 8 as data, and the writer sends every fnd::Data as a blob (183),
// since data the host sends to Dart is always document content. Snapshots, changes and metadata
// handed to the writer go out as standard maps.
//
// A value that the reader cannot accept (a wrong kind inside a Virelda value, an app that is not
// configured, a path or query the SDK rejects, an unknown operator in a filter tree) fails the
// read with kFlutterCodecInvalidValue and a description; a reference whose instance is not in
// the instance cache fails the write ("NoCachedInstance").
//
// Readers and writers live for one message on one thread; the reader-writer is immutable.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/value.h"
#include "platform/vendor/virelda/virelda.h"

enum FLTVireldaDataType : uint8_t {
  kFLTVireldaDateTime = 180,
  kFLTVireldaGeoPoint = 181,
  kFLTVireldaDocumentReference = 182,
  kFLTVireldaBlob = 183,
  kFLTVireldaArrayUnion = 184,
  kFLTVireldaArrayRemove = 185,
  kFLTVireldaDelete = 186,
  kFLTVireldaServerTimestamp = 187,
  kFLTVireldaTimestamp = 188,
  kFLTVireldaIncrementDouble = 189,
  kFLTVireldaIncrementInteger = 190,
  kFLTVireldaDocumentId = 191,
  kFLTVireldaFieldPath = 192,
  kFLTVireldaNaN = 193,
  kFLTVireldaInfinity = 194,
  kFLTVireldaNegativeInfinity = 195,
  kFLTVireldaInstance = 196,
  kFLTVireldaQuery = 197,
  kFLTVireldaSettings = 198,
  kFLTVireldaVectorValue = 199,
};

class FLTZudiroruVireldaReader : public flutter::FlutterStandardReader {
 public:
  explicit FLTZudiroruVireldaReader(std::span<const uint8_t> data)
      : flutter::FlutterStandardReader(data) {}

  fnd::Value readValueOfType(uint8_t type) override;

  // The one serial queue on which every instance's SDK callbacks run; made on first use.
  static std::shared_ptr<dispatch::Queue> getVireldaQueue();

  // The payloads of bytes 198, 197 and 196. Each returns null after failing the reader.
  std::shared_ptr<::DEVVireldaSettings> DEVVireldaSettings();
  std::shared_ptr<::DEVQuery> DEVQuery();
  std::shared_ptr<::DEVVirelda> DEVVirelda();
  // A filter tree (see VireldaPigeonParser::filterFromJson); null after failing the reader.
  std::shared_ptr<DEVFilter> filterFromJson(const fnd::Dictionary& map);

 protected:
  // Fails the read with kFlutterCodecInvalidValue and returns null.
  fnd::Value invalid(const std::string& description);
};

class FLTZudiroruVireldaWriter : public flutter::FlutterStandardWriter {
 public:
  explicit FLTZudiroruVireldaWriter(fnd::Data* data) : flutter::FlutterStandardWriter(data) {}

  void writeValue(const fnd::Value& value) override;

  // SDK objects as the maps Dart reads.
  static fnd::Dictionary DEVSnapshotMetadata(const ::DEVSnapshotMetadata& metadata);
  static fnd::Dictionary DEVDocumentChange(const ::DEVDocumentChange& change);
  static fnd::Dictionary DEVDocumentSnapshot(const ::DEVDocumentSnapshot& snapshot);
  static fnd::Dictionary DEVQuerySnapshot(const ::DEVQuerySnapshot& snapshot);
  static fnd::Dictionary DEVLoadBundleTaskProgress(const ::DEVLoadBundleTaskProgress& progress);
};

class FLTZudiroruVireldaReaderWriter : public flutter::FlutterStandardReaderWriter {
 public:
  std::unique_ptr<flutter::FlutterStandardWriter> writerWithData(fnd::Data* data) const override;
  std::unique_ptr<flutter::FlutterStandardReader> readerWithData(
      std::span<const uint8_t> data) const override;
};

// The settings of a settings description, SDK defaults where a key is null, with the Virelda
// callback queue. Shared by the codec (byte 198) and the plugin's instance lookup.
std::shared_ptr<::DEVVireldaSettings> FLTVireldaMakeSettings(
    const std::optional<bool>& persistenceEnabled, const std::optional<int64_t>& cacheSizeBytes,
    const std::optional<std::string>& host, const std::optional<bool>& sslEnabled);

// The instance of a Dart app name and database URL: the cached one, else a new one with the
// given settings, stored in the instance cache. Null with *error set when no app of that name is
// configured or the SDK refuses. Serialised by the instance lookup lock.
std::shared_ptr<::DEVVirelda> FLTVireldaInstanceFor(
    const std::string& dartAppName, const std::string& databaseURL,
    const std::function<std::shared_ptr<::DEVVireldaSettings>()>& makeSettings, fnd::Error* error);
