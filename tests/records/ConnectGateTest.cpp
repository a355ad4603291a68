// The gate every server connection of a store goes through: the store's session, its retry thread's probes
// and the room-lock pool.
#include "records/ConnectGateUnit.h"

#include <gmock/gmock.h>
#include <soci/soci.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

using ::testing::HasSubstr;

namespace {

// A failed open starts the back-off: callers fail at once, without a try, and are told why. A probe still
// connects, and its success lets the very next caller through, not only the prober; a failed probe starts
// the back-off again.
TEST(ConnectGateTest, AProbesSuccessEndsTheBackOffForEveryCaller) {
    TConnectGate gate;
    gate.SetBackoff(std::chrono::hours(1));
    int attempts = 0;
    const auto refused = [&]() -> std::unique_ptr<soci::session> {
        ++attempts;
        throw std::runtime_error("connection refused");
    };
    const auto answered = [&] {
        ++attempts;
        return std::make_unique<soci::session>();
    };

    EXPECT_FALSE(gate.InBackoff());
    EXPECT_THROW(gate.Open(refused), std::runtime_error);
    EXPECT_TRUE(gate.InBackoff());
    try {
        gate.Open(answered);
        ADD_FAILURE() << "opened during the back-off";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("3600"));
        EXPECT_THAT(e.what(), HasSubstr("connection refused"));
    }
    EXPECT_EQ(attempts, 1);

    EXPECT_NE(gate.Probe(answered), nullptr);
    EXPECT_FALSE(gate.InBackoff());
    EXPECT_NE(gate.Open(answered), nullptr);
    EXPECT_EQ(attempts, 3);

    EXPECT_THROW(gate.Probe(refused), std::runtime_error);
    EXPECT_TRUE(gate.InBackoff());
    EXPECT_THROW(gate.Open(answered), std::runtime_error);
    EXPECT_EQ(attempts, 4);
}

} // namespace
