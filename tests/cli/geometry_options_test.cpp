#include "cli/geometry_options.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/support/test_names.hpp"

namespace {

// Parses `line` as a subcommand's options and resolves the geometry.
struct Parsed {
    bool resolved = false;
    SideGeometry geometry;
    std::string message;
};

Parsed parse(const std::string& line, GeometryOptionChoice choice = {}) {
    CLI::App command;
    GeometryOptions options;
    addGeometryOptions(command, options, choice);
    command.parse(line, false);
    Parsed parsed;
    parsed.resolved = resolveGeometry(options, parsed.geometry, parsed.message);
    return parsed;
}

TEST(GeometryOptionsTest, ResolvesEachKindOfGeometryAndTheSide) {
    const Parsed aligned = parse("--alignment baerwald --mounting 222 --from 146 --to 60.3");
    ASSERT_TRUE(aligned.resolved) << aligned.message;
    EXPECT_EQ(aligned.geometry.name, "baerwald");
    EXPECT_TRUE(aligned.geometry.pivoted);
    EXPECT_EQ(aligned.geometry.arm.kind, Tonearm::Kind::Pivoted);
    EXPECT_NEAR(aligned.geometry.arm.effectiveLength, 239.30, 0.005);
    EXPECT_NEAR(trackingErrorDegrees(aligned.geometry.arm, 66.0), 0.0, 0.002);
    EXPECT_TRUE(aligned.geometry.sideGiven);
    EXPECT_EQ(aligned.geometry.fromRadius, 146.0);
    EXPECT_EQ(aligned.geometry.toRadius, 60.3);
    EXPECT_EQ(aligned.geometry.revolutionsPerMinute, 100.0 / 3);
    EXPECT_EQ(aligned.geometry.area.innerRadius, 60.325);

    const Parsed fixed = parse("--angle -2.5 --radius 65 --rpm 45");
    ASSERT_TRUE(fixed.resolved) << fixed.message;
    EXPECT_EQ(fixed.geometry.arm.kind, Tonearm::Kind::FixedAngle);
    EXPECT_EQ(trackingErrorDegrees(fixed.geometry.arm, 123.0), -2.5);
    EXPECT_EQ(fixed.geometry.fromRadius, 65.0);
    EXPECT_EQ(fixed.geometry.toRadius, 65.0);
    EXPECT_EQ(fixed.geometry.revolutionsPerMinute, 45.0);

    const Parsed linear = parse("--linear --from 140 --to 70 --rpm 78 --standard din");
    ASSERT_TRUE(linear.resolved) << linear.message;
    EXPECT_EQ(linear.geometry.arm.kind, Tonearm::Kind::Tangential);
    EXPECT_EQ(linear.geometry.revolutionsPerMinute, 78.26);
    EXPECT_EQ(linear.geometry.area.innerRadius, 57.5);

    const Parsed given = parse("--arm 233.2,215.4,23.6 --rpm 16.5");
    ASSERT_TRUE(given.resolved) << given.message;
    EXPECT_EQ(given.geometry.name, "arm");
    EXPECT_EQ(given.geometry.arm.offsetDegrees, 23.6);
    EXPECT_NEAR(given.geometry.alignment.nulls.inner, 66.32, 0.005);
    EXPECT_FALSE(given.geometry.sideGiven);
    EXPECT_EQ(given.geometry.revolutionsPerMinute, 16.5);
}

TEST(GeometryOptionsTest, RefusesWithTheOptionAndTheValueNamed) {
    GeometryOptionChoice needsSide;
    needsSide.requireSide = true;
    struct Case {
        std::string line;
        std::string named;
        GeometryOptionChoice choice;
    };
    const std::vector<Case> cases = {
        {"--radius 65", "no geometry", {}},
        {"--angle 1", "no groove radius", needsSide},
        {"--angle 1 --radius 65 --from 100 --to 70", "exclude each other", {}},
        {"--angle 1 --from 100", "--from needs --to", {}},
        {"--angle 1 --to 100", "--to needs --from", {}},
        {"--angle 1 --radius 0", "--radius 0", {}},
        {"--angle 1 --from 100 --to -60", "--to -60", {}},
        {"--angle 1 --radius inf", "--radius inf", {}},
        {"--angle nan --radius 65", "--angle nan", {}},
        {"--angle 1 --radius 65 --rpm 0", "--rpm 0", {}},
        {"--angle 1 --radius 65 --rpm 33x", "--rpm 33x", {}},
        {"--arm 239.3,222,22.99 --from 146 --to 10", "cannot reach the groove at 10 mm", {}},
        {"--arm 239.3,222,22.99,1", "--arm 239.3,222,22.99,1", {}},
        {"--arm 239.3,222,", "--arm 239.3,222,", {}},
        {"--linear --angle 1", "one geometry", {}},
        {"--alignment stevenson --mounting 0", "--mounting 0", {}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testCaseName(i, cases[i].line));
        const Parsed parsed = parse(cases[i].line, cases[i].choice);
        EXPECT_FALSE(parsed.resolved);
        EXPECT_NE(parsed.message.find(cases[i].named), std::string::npos) << parsed.message;
    }
}

TEST(GeometryOptionsTest, LeavesOutTheOptionsACommandHasOfItsOwn) {
    CLI::App command;
    GeometryOptions options;
    GeometryOptionChoice choice;
    choice.angle = false;
    choice.side = false;
    choice.rpm = false;
    addGeometryOptions(command, options, choice);
    for (const char* name : {"--angle", "--radius", "--from", "--to", "--rpm"}) {
        EXPECT_EQ(command.get_option_no_throw(name), nullptr) << name;
    }
    command.add_option("--angle", options.angle);  // the command's own, without a conflict
    command.parse("--linear", false);
    SideGeometry geometry;
    std::string message;
    EXPECT_TRUE(resolveGeometry(options, geometry, message)) << message;
    EXPECT_EQ(geometry.revolutionsPerMinute, 100.0 / 3);
}

}  // namespace

namespace {

// --compare shows the four named alignments for the distance, after an arm given with --arm;
// --mounting alone stands for them. What has no pivot-to-spindle distance is refused.
TEST(GeometryOptionsTest, CompareGivesTheNamedAlignmentsForTheDistance) {
    const struct {
        std::string line;
        bool compare;
        std::vector<std::string> names;  // empty: refused
        std::string named;               // in the refusal
    } cases[] = {
        {"--mounting 222", true, {"baerwald", "lofgren-a", "lofgren-b", "stevenson"}, ""},
        {"--alignment stevenson --mounting 222 --radius 70",
         true,
         {"baerwald", "lofgren-a", "lofgren-b", "stevenson"},
         ""},
        {"--arm 239.3,222,22.99",
         true,
         {"arm", "baerwald", "lofgren-a", "lofgren-b", "stevenson"},
         ""},
        {"--alignment lofgren-b --mounting 222", false, {"lofgren-b"}, ""},
        {"--mounting 222", false, {}, "needs --alignment"},
        {"--linear", true, {}, "--compare needs a pivot-to-spindle distance"},
        {"--angle 2", true, {}, "--compare needs a pivot-to-spindle distance"},
        {"--arm 239.3,222,22.99 --mounting 222", true, {}, "needs --alignment"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testCaseName(i, c.line));
        CLI::App command;
        GeometryOptions options;
        addGeometryOptions(command, options);
        command.parse(c.line, false);
        std::vector<SideGeometry> geometries;
        std::string message;
        const bool resolved = resolveGeometries(options, c.compare, geometries, message);
        EXPECT_EQ(resolved, !c.names.empty()) << message;
        if (!resolved) {
            EXPECT_NE(message.find(c.named), std::string::npos) << message;
            continue;
        }
        std::vector<std::string> names;
        for (const SideGeometry& geometry : geometries) {
            names.push_back(geometry.name);
            EXPECT_TRUE(geometry.pivoted);
            EXPECT_EQ(geometry.alignment.pivotToSpindle, 222.0);
            EXPECT_EQ(geometry.sideGiven, geometries.front().sideGiven);
        }
        EXPECT_EQ(names, c.names);
    }
}

// The side alone, as render gives it with its own options and words: the same rules as the
// shared options, refused in the words of render's --help.
TEST(GeometryOptionsTest, ResolvesASideInTheWordsOfItsCommand) {
    const SideWords words = {"no groove radius: give --radius MM", ": not a radius"};
    const struct {
        std::string line;
        bool required;
        std::string refusal;  // empty: resolved
        double from;
        double to;
    } cases[] = {
        {"--radius 65", true, "", 65.0, 65.0},
        {"--radius -1", true, "", -1.0, -1.0},  // the radius's value is the caller's to check
        {"--from 146 --to 60.3", true, "", 146.0, 60.3},
        {"", false, "", 0.0, 0.0},
        {"", true, "no groove radius: give --radius MM", 0, 0},
        {"--radius 65 --to 60", true, "--radius and --from/--to exclude each other", 0, 0},
        {"--to 60", true, "--to needs --from", 0, 0},
        {"--from 0 --to 60", true, "--from 0: not a radius", 0, 0},
        {"--from 100 --to inf", true, "--to inf: not a radius", 0, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(testCaseName(i, c.line));
        CLI::App command;
        SideOptions side;
        side.radiusOption = command.add_option("--radius", side.radius);
        side.fromOption = command.add_option("--from", side.from);
        side.toOption = command.add_option("--to", side.to);
        command.parse(c.line, false);
        SideGeometry geometry;
        std::string message;
        EXPECT_EQ(resolveSide(side, words, c.required, geometry, message), c.refusal.empty());
        EXPECT_EQ(message, c.refusal);
        if (c.refusal.empty()) {
            EXPECT_EQ(geometry.sideGiven, !c.line.empty());
            EXPECT_EQ(geometry.fromRadius, c.from);
            EXPECT_EQ(geometry.toRadius, c.to);
        }
    }
}

}  // namespace
