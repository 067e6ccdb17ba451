// The run record keeps every option of a pair, and --resume compares each.
#include <gtest/gtest.h>

#include <string>

#include "batch/run_record.h"
#include "frontend/options.h"

using namespace kelvor::batch;
using namespace kelvor::frontend;

namespace {

RunFacts facts_with(const PairOptions& options) {
    RunFacts facts;
    facts.listing = manifest_listing("-", std::nullopt);
    facts.options = number_options(options);
    return facts;
}

JsonValue recorded(const RunFacts& facts) {
    return *parse_json(run_record_json(facts));
}

TEST(RunRecord, EveryOptionIsRecordedAndCompared) {
    const RunFacts base = facts_with(PairOptions{});
    ASSERT_EQ(run_mismatch(recorded(base), base), "");
    for (const OptionField& field : OPTION_FIELDS) {
        SCOPED_TRACE(field.name);
        ASSERT_NE(base.options.find(field.name), nullptr);
        // Another value the option takes.
        PairOptions changed;
        int& value = option_value(changed, field);
        value = value < field.most ? value + 1 : field.least;
        const std::string said = run_mismatch(recorded(base), facts_with(changed));
        EXPECT_NE(said.find(std::string("with ") + field.name + " "), std::string::npos) << said;
    }
}

TEST(RunRecord, AnOptionTheRecordLacksIsTakenAtZero) {
    // A record written before shift and double_table were recorded agrees
    // with a run that leaves them at zero, and with no other (before
    // unequal: with a run that pads); one without
    // the profile (zero: "default") agrees with no run.
    RunFacts older = facts_with(PairOptions{});
    auto drop = [&](const std::string& key) {
        auto& members = older.options.members;
        for (auto it = members.begin(); it != members.end(); ++it) {
            if (it->first == key) {
                members.erase(it);
                return;
            }
        }
    };
    drop("shift");
    drop("double_table");
    EXPECT_EQ(run_mismatch(recorded(older), facts_with(PairOptions{})), "");
    PairOptions table;
    table.scoring.double_table = 1;
    EXPECT_NE(run_mismatch(recorded(older), facts_with(table)).find("double_table false"), std::string::npos);
    // Versions before the rule for unequal lengths padded in every profile.
    drop("unequal");
    PairOptions pad;
    pad.scoring.unequal = KELVOR_UNEQUAL_PAD;
    EXPECT_EQ(run_mismatch(recorded(older), facts_with(pad)), "");
    EXPECT_NE(run_mismatch(recorded(older), facts_with(PairOptions{})).find("unequal 'pad'"), std::string::npos)
        << run_mismatch(recorded(older), facts_with(PairOptions{}));
    drop("profile");
    EXPECT_NE(run_mismatch(recorded(older), facts_with(PairOptions{})).find("profile 'default'"), std::string::npos);
}

}  // namespace
