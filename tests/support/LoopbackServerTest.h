#pragma once

// A test fixture whose suite shares one demo server on loopback, started before its first test.
#include "TarnServer.h"

#include <gtest/gtest.h>

class LoopbackServerTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_pServer = new tarn::TarnServer;
        ASSERT_NE(0, s_pServer->Start());
    }
    static void TearDownTestSuite()
    {
        delete s_pServer;
        s_pServer = nullptr;
    }

    static inline tarn::TarnServer* s_pServer = nullptr;
};
