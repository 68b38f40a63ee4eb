#include "analytics/config/experiment.h"

#include <gtest/gtest.h>

#include "analytics/config/experiment_snapshot.h"
#include "analytics/config/experiments_test_support.h"

namespace {

using apme_test::APMETest;
using apme_test::Describe;
using apme_test::Experiment;
using apme_test::Flag;
using apme_test::Snapshot;

class ExperimentRecordTest : public APMETest {};

TEST_F(ExperimentRecordTest, ExperimentKeepsTheLastFlagOfEachNameAndRoundTrips) {
  auto experiment = Experiment(42, {Flag("a", 1), Flag("b", "x"), Flag("a", 2)});
  ASSERT_TRUE(experiment);
  EXPECT_EQ(experiment->experimentID(), 42);
  EXPECT_EQ(APMEValueFromFlagProto(experiment->flagWithName("a").get()), fnd::Value::Int64(2));
  EXPECT_FALSE(experiment->flagWithName("missing"));

  auto proto = experiment->proto();
  ASSERT_TRUE(proto);
  EXPECT_EQ(NANOGetInt32(proto.get(), APMPBExperiment::kExperimentId), 42);
  auto bytes = proto->protoBuffer();
  ASSERT_TRUE(bytes);
  auto decoded = APMPBExperiment::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  auto back = APMEExperiment::initWithProtobuf(*decoded);
  EXPECT_EQ(back->experimentID(), 42);
  EXPECT_EQ(back->flags().size(), 2u);
  EXPECT_EQ(APMEValueFromFlagProto(back->flagWithName("b").get()), fnd::Value("x"));

  // An absent ID reads as the launched experiment.
  auto empty = APMPBExperiment::initWithBuffer(nullptr);
  EXPECT_EQ(APMEExperiment::initWithProtobuf(*empty)->experimentID(), APMELaunchedExperimentID);

  // A copy is independent of the original.
  auto copy = experiment->copy();
  copy->addFlag(Flag("c", 3));
  EXPECT_FALSE(experiment->flagWithName("c"));
}

TEST_F(ExperimentRecordTest, ExperimentRefusesBadArguments) {
  const fnd::Value flag = apme_test::RecordValue(Flag("a", 1));
  struct Case {
    fnd::Value id;
    fnd::Value flags;
    int64_t code;
  };
  const Case cases[] = {
      {fnd::Value(), fnd::Value(fnd::Array{flag}), 870000},
      {fnd::Value("7"), fnd::Value(fnd::Array{flag}), 870001},
      {fnd::Value(7), fnd::Value("flags"), 870002},
      {fnd::Value(7), fnd::Value(fnd::Array{flag, fnd::Value("not a flag")}), 870003},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_FALSE(APMEExperiment::initWithExperimentID(c.id, c.flags)) << c.code;
    EXPECT_EQ(log_.codes(), std::vector<int64_t>{c.code});
    EXPECT_EQ(log_.withCode(c.code)[0].level, 2);
  }

  auto experiment = Experiment(7, {});
  log_.clear();
  experiment->addFlag(fnd::Value());
  experiment->addFlag(fnd::Value(3));
  experiment->addFlag(apme_test::RecordValue(APMPBFlag::initWithBuffer(nullptr)));  // No name.
  EXPECT_FALSE(experiment->flagWithName(""));
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{870004, 870005, 870006, 870007}));
  EXPECT_TRUE(experiment->flags().empty());
}

TEST_F(ExperimentRecordTest, NamelessFlagsFromTheServerAreLeftOut) {
  auto proto = APMPBExperiment::initWithBuffer(nullptr);
  fnd::Array flags{apme_test::RecordValue(APMPBFlag::initWithBuffer(nullptr)),
                   apme_test::RecordValue(Flag("a", 1))};
  NANOSetArray(proto.get(), APMPBExperiment::kFlags, &flags);
  auto experiment = APMEExperiment::initWithProtobuf(*proto);
  ASSERT_TRUE(experiment);
  EXPECT_EQ(experiment->flags().size(), 1u);
  EXPECT_TRUE(Logged(870006));
}

TEST_F(ExperimentRecordTest, SnapshotHoldsCopiesByIDAndAddsFlags) {
  auto first = Experiment(5, {Flag("a", 1)});
  auto snapshot =
      Snapshot("sdk", {first, Experiment(9, {Flag("b", 2)}), Experiment(5, {Flag("c", 3)})});
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->SDKName(), "sdk");
  EXPECT_EQ(snapshot->timestamp(), clock_->wallTime());
  EXPECT_FALSE(snapshot->manuallyActivated());
  // The later experiment of one ID replaces the earlier one.
  EXPECT_EQ(Describe(*snapshot), (std::vector<std::string>{"5:c=3", "9:b=2"}));
  first->addFlag(Flag("z", 1));  // The snapshot holds its own copy.
  EXPECT_FALSE(snapshot->flagByName("z"));

  // Two flags of one name for one ID: the later one stays.
  snapshot->addFlag(apme_test::RecordValue(Flag("d", 1)), fnd::Value(11));
  snapshot->addFlag(apme_test::RecordValue(Flag("d", 2)), fnd::Value(11));
  EXPECT_EQ(APMEValueFromFlagProto(snapshot->flagByName("d").get()), fnd::Value::Int64(2));
  snapshot->addFlags({apme_test::RecordValue(Flag("e", 1))}, fnd::Value(5));
  EXPECT_EQ(Describe(*snapshot), (std::vector<std::string>{"5:c=3", "5:e=1", "9:b=2", "11:d=2"}));

  log_.clear();
  snapshot->addFlag(apme_test::RecordValue(Flag("f", 1)), fnd::Value());
  snapshot->addFlag(fnd::Value(), fnd::Value(1));
  snapshot->addFlag(fnd::Value("flag"), fnd::Value(1));
  EXPECT_EQ(log_.codes(), (std::vector<int64_t>{840003, 840004, 840004}));
  ExpectLogged(log_, 2, 840003, "Cannot add flag into empty experiment ID");

  clock_->advance(5);
  auto copy = snapshot->copy();
  EXPECT_EQ(Describe(*copy), Describe(*snapshot));
  EXPECT_EQ(copy->timestamp(), clock_->wallTime());
}

TEST_F(ExperimentRecordTest, SnapshotRefusesBadArgumentsAndRoundTripsThroughItsMessage) {
  const fnd::Value experiment = apme_test::RecordValue(Experiment(1, {Flag("a", 1)}));
  struct Case {
    fnd::Value name;
    fnd::Value experiments;
    int64_t code;
  };
  const Case cases[] = {
      {fnd::Value(), fnd::Value(fnd::Array{}), 840000},
      {fnd::Value(3), fnd::Value(fnd::Array{}), 840000},
      {fnd::Value(""), fnd::Value(fnd::Array{}), 840000},
      {fnd::Value("sdk"), fnd::Value(), 840001},
      {fnd::Value("sdk"), fnd::Value(fnd::Array{experiment, fnd::Value(1)}), 840002},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_FALSE(APMESnapshot::initWithSDKName(c.name, c.experiments));
    EXPECT_EQ(log_.codes(), std::vector<int64_t>{c.code});
  }

  auto snapshot =
      Snapshot("sdk", {Experiment(0, {Flag("l", "launch")}), Experiment(3, {Flag("x", 1.5)})});
  auto bytes = snapshot->proto()->protoBuffer();
  ASSERT_TRUE(bytes);
  auto back = APMESnapshot::initWithProtobuf(*APMPBSnapshot::initWithBuffer(*bytes));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->SDKName(), "sdk");
  EXPECT_EQ(Describe(*back), Describe(*snapshot));

  // A Snapshot message without a name gives no snapshot.
  EXPECT_FALSE(APMESnapshot::initWithProtobuf(*APMPBSnapshot::initWithBuffer(nullptr)));
}

}  // namespace
