// Media records, the type descriptions generated from the IDL, and the
// precondition messages of the record helpers.
#include "pyxo_corba.h"

#include <gtest/gtest.h>

#include "checks.h"

#include <string>
#include <vector>

class MediaRecord : public ::testing::Test {
  protected:
    CriticalLog log;
    std::vector<std::string> &criticals = log.criticals;
};

static void expect_check(const std::string &message, const char *func, const char *expr) {
    EXPECT_TRUE(IsCheckMessage(message, "pyxo_corba.cc", func, expr));
}

TEST_F(MediaRecord, NewIsCleared) {
    PYXO::media_ST *m = NULL;
    PYXO_media_ST_new(&m);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->serial, "");
    EXPECT_FALSE(m->attached);
    EXPECT_EQ(m->scsi.s_bus, 0);
    EXPECT_EQ(m->scsi.s_channel, 0);
    EXPECT_EQ(m->scsi.s_id, 0);
    EXPECT_EQ(m->scsi.s_lun, 0);
    PYXO_media_ST_destroy(&m);
    EXPECT_EQ(m, nullptr);
    EXPECT_TRUE(criticals.empty());
}

TEST_F(MediaRecord, CopyIsDeepAndReplacesTheOldSerial) {
    PYXO::media_ST *a = NULL, *b = NULL;
    PYXO_media_ST_new(&a);
    a->serial = (const char *)"0a1B2c";
    a->attached = true;
    a->scsi.s_bus = -1;
    a->scsi.s_channel = 32767;
    a->scsi.s_id = -32768;
    a->scsi.s_lun = 5;

    PYXO_media_ST_copy(&a, &b);  // into a new record
    ASSERT_NE(b, nullptr);
    EXPECT_NE((const char *)a->serial, (const char *)b->serial);
    PYXO_media_ST_destroy(&a);  // the copy keeps its own serial
    EXPECT_STREQ(b->serial, "0a1B2c");
    EXPECT_TRUE(b->attached);
    EXPECT_EQ(b->scsi.s_bus, -1);
    EXPECT_EQ(b->scsi.s_channel, 32767);
    EXPECT_EQ(b->scsi.s_id, -32768);
    EXPECT_EQ(b->scsi.s_lun, 5);

    PYXO::media_ST *empty = NULL;
    PYXO_media_ST_new(&empty);
    PYXO::media_ST *kept = b;
    PYXO_media_ST_copy(&empty, &b);  // into an existing record: reused
    EXPECT_EQ(b, kept);
    EXPECT_STREQ(b->serial, "");
    EXPECT_FALSE(b->attached);
    EXPECT_EQ(b->scsi.s_bus, 0);
    EXPECT_EQ(b->scsi.s_id, 0);

    PYXO_media_ST_copy(&b, &b);  // onto itself: unchanged
    EXPECT_STREQ(b->serial, "");
    PYXO_media_ST_destroy(&b);
    PYXO_media_ST_destroy(&empty);
    EXPECT_TRUE(criticals.empty());
}

TEST_F(MediaRecord, PreconditionsLogAndTouchNothing) {
    PYXO_media_ST_new(NULL);
    ASSERT_EQ(criticals.size(), 1u);
    expect_check(criticals[0], "PYXO_media_ST_new", "m != NULL");

    criticals.clear();
    PYXO::media_ST *m = NULL;
    PYXO_media_ST_new(&m);
    PYXO_media_ST_destroy(&m);
    PYXO_media_ST_destroy(&m);  // a second destroy through the same pointer
    PYXO_media_ST_destroy(NULL);
    ASSERT_EQ(criticals.size(), 2u);
    expect_check(criticals[0], "PYXO_media_ST_destroy", "*m != NULL");
    expect_check(criticals[1], "PYXO_media_ST_destroy", "m != NULL");

    criticals.clear();
    PYXO::media_ST *none = NULL, *dest = NULL;
    PYXO_media_ST_copy(NULL, &dest);
    PYXO_media_ST_copy(&none, NULL);  // dest is not examined after *source fails
    PYXO_media_ST_new(&m);
    PYXO_media_ST_copy(&m, NULL);
    ASSERT_EQ(criticals.size(), 3u);
    expect_check(criticals[0], "PYXO_media_ST_copy", "source != NULL");
    expect_check(criticals[1], "PYXO_media_ST_copy", "*source != NULL");
    expect_check(criticals[2], "PYXO_media_ST_copy", "dest != NULL");
    EXPECT_EQ(dest, nullptr);
    PYXO_media_ST_destroy(&m);
}

TEST(TypeCodes, RepositoryIdsAndMemberOrder) {
    CORBA::TypeCode_ptr media = PYXO::_tc_media_ST;
    EXPECT_STREQ(media->id(), "IDL:PYXO/media_ST:1.0");
    EXPECT_STREQ(media->name(), "media_ST");
    ASSERT_EQ(media->member_count(), 3u);
    EXPECT_STREQ(media->member_name(0), "serial");
    EXPECT_STREQ(media->member_name(1), "attached");
    EXPECT_STREQ(media->member_name(2), "scsi");
    CORBA::TypeCode_var serial = media->member_type(0);
    CORBA::TypeCode_var attached = media->member_type(1);
    EXPECT_EQ(serial->kind(), CORBA::tk_string);
    EXPECT_EQ(attached->kind(), CORBA::tk_boolean);

    CORBA::TypeCode_ptr scsi = PYXO::media_ST::_tc_scsi_ST;
    EXPECT_STREQ(scsi->id(), "IDL:PYXO/media_ST/scsi_ST:1.0");
    CORBA::TypeCode_var nested = media->member_type(2);
    EXPECT_TRUE(nested->equal(scsi));
    const char *shorts[] = {"s_bus", "s_channel", "s_id", "s_lun"};
    ASSERT_EQ(scsi->member_count(), 4u);
    for (CORBA::ULong i = 0; i < 4; i++) {
        EXPECT_STREQ(scsi->member_name(i), shorts[i]);
        CORBA::TypeCode_var t = scsi->member_type(i);
        EXPECT_EQ(t->kind(), CORBA::tk_short);
    }

    CORBA::TypeCode_ptr cmd = PYXO::servant::_tc_Cmd;
    EXPECT_STREQ(cmd->id(), "IDL:PYXO/servant/Cmd:1.0");
    const char *names[] = {"ICONIFY", "HIDE", "POPUP", "EXIT"};
    ASSERT_EQ(cmd->member_count(), 4u);
    for (CORBA::ULong i = 0; i < 4; i++)
        EXPECT_STREQ(cmd->member_name(i), names[i]);
    EXPECT_EQ((int)PYXO::servant::ICONIFY, 0);
    EXPECT_EQ((int)PYXO::servant::EXIT, 3);

    EXPECT_STREQ(PYXO::_tc_servant->id(), "IDL:PYXO/servant:1.0");
    EXPECT_EQ(PYXO::_tc_servant->kind(), CORBA::tk_objref);
}
