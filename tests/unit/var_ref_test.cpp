// Variable references: "m1000" and the like.
#include <gtest/gtest.h>

#include <string>

#include "case_names.h"
#include "runtime/runtime_link.h"

namespace {

struct GoodReference {
  const char* text;
  int type;
  int index;
};

class ReferenceParses : public testing::TestWithParam<GoodReference> {};

const auto kByText = NamedBy<GoodReference>([](const GoodReference& c) { return c.text; });

TEST_P(ReferenceParses, ToTypeAndIndex) {
  VarRef ref{99, 65535};
  ASSERT_TRUE(ParseVarRef(GetParam().text, ref)) << GetParam().text;
  EXPECT_EQ(ref.type, GetParam().type);
  EXPECT_EQ(ref.index, GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(Mailbox, ReferenceParses,
                         testing::Values(GoodReference{"m1000", 5, 1000},
                                         GoodReference{"l1000", 7, 1000},
                                         GoodReference{"M0012", 5, 12}, GoodReference{"u7", 2, 7},
                                         GoodReference{"m00001", 5, 1}, GoodReference{"m0", 5, 0},
                                         GoodReference{"m9999", 5, 9999},
                                         // leading zeros do not count against the index limit
                                         GoodReference{"m000000000009999", 5, 9999}),
                         kByText);

// Every letter of the type table, in both cases.
INSTANTIATE_TEST_SUITE_P(Letters, ReferenceParses,
                         testing::Values(GoodReference{"I3", 0, 3}, GoodReference{"i3", 0, 3},
                                         GoodReference{"O3", 1, 3}, GoodReference{"o3", 1, 3},
                                         GoodReference{"B3", 2, 3}, GoodReference{"b3", 2, 3},
                                         GoodReference{"U3", 2, 3}, GoodReference{"u3", 2, 3},
                                         GoodReference{"T3", 3, 3}, GoodReference{"t3", 3, 3},
                                         GoodReference{"C3", 4, 3}, GoodReference{"c3", 4, 3},
                                         GoodReference{"M3", 5, 3}, GoodReference{"m3", 5, 3},
                                         GoodReference{"F3", 6, 3}, GoodReference{"f3", 6, 3},
                                         GoodReference{"L3", 7, 3}, GoodReference{"l3", 7, 3}),
                         kByText);

class ReferenceRefused : public testing::TestWithParam<const char*> {};

TEST_P(ReferenceRefused, DoesNotParse) {
  VarRef ref{};
  EXPECT_FALSE(ParseVarRef(GetParam(), ref)) << '"' << GetParam() << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReferenceRefused,
    testing::Values("m", "m10000", "m65536", "m12a", "x5", "m 5", "", "m-1", "m+1", "5", "mm5",
                    "m5 ", " m5", "m1000\n", "a5", "z5", "P5",
                    // long enough to overflow 16 or 32 bits if the index were not checked early
                    "m4294967296", "m99999999999999999999"),
    NamedBy<const char*>([](const char* text) { return text; }));

}  // namespace
