#include "simple/Vector.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "tests/support/Counted.h"

namespace {

using Simple::CVector;
using Simple::SOwnedPtr;
using Simple::SValue;

using testing_support::Counted;

class CVectorOwnership : public testing::Test {
protected:
    void SetUp() override {
        Counted::constructed = 0;
        Counted::destroyed = 0;
    }
};

using OwningVector = CVector<Counted*, SOwnedPtr, Counted*>;

TEST(CVector, StartsEmptyWithoutABlock) {
    CVector<int, SValue> vector;
    EXPECT_EQ(vector.GetCount(), 0);
    EXPECT_EQ(vector.GetCapacity(), 0);
}

TEST(CVector, GrowsToTwiceTheNewCountButAtLeastSixteen) {
    struct Step {
        int32_t adds;
        int32_t capacity;
    };
    const Step steps[] = {
        {1, 16},    // the first Add allocates the minimum
        {16, 16},   // exactly full
        {17, 34},   // 2 * (16 + 1)
        {34, 34},   // exactly full again
        {35, 70},   // 2 * (34 + 1)
        {71, 142},  // 2 * (70 + 1)
    };
    CVector<int, SValue> vector;
    int32_t added = 0;
    for (const Step& step : steps) {
        while (added < step.adds) {
            ASSERT_TRUE(vector.Add(added * 3));
            added++;
        }
        SCOPED_TRACE(testing::Message() << "after " << step.adds << " adds");
        EXPECT_EQ(vector.GetCount(), step.adds);
        EXPECT_EQ(vector.GetCapacity(), step.capacity);
    }
    // Every reallocation kept the elements in the order of addition.
    for (int32_t i = 0; i < vector.GetCount(); i++)
        ASSERT_EQ(vector[i], i * 3) << "at " << i;
}

TEST(CVector, RemoveAllEmptiesButKeepsTheBlockForReuse) {
    CVector<int, SValue> vector;
    for (int i = 0; i < 20; i++)
        ASSERT_TRUE(vector.Add(i));
    vector.RemoveAll();
    EXPECT_EQ(vector.GetCount(), 0);
    EXPECT_EQ(vector.GetCapacity(), 34);

    ASSERT_TRUE(vector.Add(7));
    EXPECT_EQ(vector.GetCount(), 1);
    EXPECT_EQ(vector.GetCapacity(), 34);
    EXPECT_EQ(vector[0], 7);
}

TEST(CVector, ElementsCanBeWrittenThroughTheIndex) {
    CVector<int, SValue> vector;
    ASSERT_TRUE(vector.Add(1));
    ASSERT_TRUE(vector.Add(2));
    vector[1] = 5;
    const CVector<int, SValue>& view = vector;
    EXPECT_EQ(view[0], 1);
    EXPECT_EQ(view[1], 5);
}

TEST_F(CVectorOwnership, OwnedPointersAreDeletedByRemoveAllSkippingNull) {
    OwningVector vector;
    ASSERT_TRUE(vector.Add(new Counted));
    ASSERT_TRUE(vector.Add(nullptr));
    ASSERT_TRUE(vector.Add(new Counted));
    ASSERT_TRUE(vector.Add(new Counted));
    EXPECT_EQ(vector.GetCount(), 4);
    EXPECT_EQ(Counted::constructed, 3);
    EXPECT_EQ(Counted::destroyed, 0);  // holding is not deleting

    vector.RemoveAll();
    // Three objects made, three deleted; the null element cost nothing and
    // did not stop the walk before the last two.
    EXPECT_EQ(Counted::destroyed, 3);
    EXPECT_EQ(vector.GetCount(), 0);

    // The vector no longer owns them: destroying it deletes nothing more.
}

TEST_F(CVectorOwnership, DestroyingAnOwningVectorDeletesWhatItStillHolds) {
    {
        OwningVector vector;
        for (int i = 0; i < 40; i++)
            ASSERT_TRUE(vector.Add(new Counted));
        vector.RemoveAll();  // deletes 40
        for (int i = 0; i < 5; i++)
            ASSERT_TRUE(vector.Add(new Counted));
        EXPECT_EQ(Counted::destroyed, 40);
    }
    // 45 made: 40 went with RemoveAll, the last 5 with the destructor, and
    // none of them twice.
    EXPECT_EQ(Counted::constructed, 45);
    EXPECT_EQ(Counted::destroyed, 45);
}

TEST_F(CVectorOwnership, AValueVectorOfPointersDeletesNothing) {
    Counted objects[2];  // 2 constructed
    {
        CVector<Counted*, SValue, Counted*> vector;
        ASSERT_TRUE(vector.Add(&objects[0]));
        ASSERT_TRUE(vector.Add(&objects[1]));
        vector.RemoveAll();
        ASSERT_TRUE(vector.Add(&objects[0]));
    }
    // The stack objects are still alive: neither RemoveAll nor the
    // destructor touched them.
    EXPECT_EQ(Counted::constructed, 2);
    EXPECT_EQ(Counted::destroyed, 0);
}

// Element types too large for a block of 16. Adding an int writes nothing,
// so no object of either type ever has to exist.
// Sized by the pointer: a shift past its width is no size at all.
struct Unallocatable {  // 16 of them need just under PTRDIFF_MAX bytes: malloc refuses
    char bytes[PTRDIFF_MAX / 16 - 16];
    Unallocatable& operator=(int) { return *this; }
};
struct Unaddressable {  // 16 of them need 2^64 bytes (2^32 on x86), which would wrap to 0
    char bytes[size_t(1) << (sizeof(size_t) * 8 - 4)];
    Unaddressable& operator=(int) { return *this; }
};

template <typename Huge>
void ExpectAddFailsAndChangesNothing() {
    CVector<Huge, SValue, int> vector;
    EXPECT_FALSE(vector.Add(1));
    EXPECT_EQ(vector.GetCount(), 0);
    EXPECT_EQ(vector.GetCapacity(), 0);
    EXPECT_FALSE(vector.Add(2));  // and stays usable, failing again
    EXPECT_EQ(vector.GetCount(), 0);
}

TEST(CVector, AddReportsABlockThatCannotBeHad) {
    ExpectAddFailsAndChangesNothing<Unallocatable>();
}

TEST(CVector, AddReportsABlockSizeThatWouldWrap) {
    ExpectAddFailsAndChangesNothing<Unaddressable>();
}

}  // namespace
