#include <string>

#include <gtest/gtest.h>

#include "driver/hdf5_handle.h"
#include "driver/hdf5_member_type.h"
#include "spec_fixtures.h"

namespace {

// Members in name order: "a_group", "b_data", "c_dangling" (a soft link to nothing), "d_group".
TEST(Hdf5MemberType, OnlyGroupsAreGroups) {
    spec_test::ScratchDir dir;
    const std::string path = dir.file("members.h5");
    {
        spec_test::H5Writer w(path);
        w.group("/top");
        w.group("/top/a_group");
        w.floats("/top/b_data", {1, 2});
        w.group("/top/d_group");
    }
    {
        H5Handle file(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT), H5Fclose);
        ASSERT_TRUE(file.valid());
        ASSERT_GE(H5Lcreate_soft("/nowhere", file.get(), "/top/c_dangling", H5P_DEFAULT, H5P_DEFAULT), 0);
    }
    H5Handle file = open_hdf5_file_read_only(path.c_str());
    H5Handle top(H5Gopen2(file.get(), "/top", H5P_DEFAULT), H5Gclose);
    ASSERT_TRUE(top.valid());
    H5E_BEGIN_TRY {
        EXPECT_TRUE(member_is_group(top.get(), 0));
        EXPECT_FALSE(member_is_group(top.get(), 1));
        EXPECT_FALSE(member_is_group(top.get(), 2));
        EXPECT_TRUE(member_is_group(top.get(), 3));
        EXPECT_FALSE(member_is_group(top.get(), 4));  // no such member
    }
    H5E_END_TRY;
}

}  // namespace
