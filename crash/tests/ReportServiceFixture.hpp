#pragma once
// What the upload tests share: a booted device in debug mode whose report endpoint is devserver's report
// service over HTTPS (its CA trusted through the extra CA file), a prepared report store and the crash
// reporter's work queue; and a wait that lets real I/O in and moves virtual time on to the next timer.

#include "crash/VZRFileManager.hpp"

#include "kit_host/tests/ShimTestSupport.hpp"

#include "devserver/CrashReportRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace crashtest {

struct ReportServiceFixture {
    plat::test::TempAppHome home;
    devserver::Server server;
    std::shared_ptr<devserver::CrashReportService> service;
    std::shared_ptr<VZRFileManager> files;
    std::shared_ptr<plat::OperationQueue> queue;

    void start() {
        plat::sim::Process::setArguments({"portal-app", "-DAVDebugEnabled"});
        shim_test::bootDevice(home);
        service = devserver::installCrashReportRoutes(server);
        ASSERT_TRUE(server.start()) << server.error();
        const std::string ca = home.root() + "/devserver-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(devserver::kCrashReportsHost));
        files = std::make_shared<VZRFileManager>();
        ASSERT_TRUE(files->prepareForNewLaunch());
        queue = plat::OperationQueue::create("work");
        queue->setMaxConcurrentOperationCount(1);
    }
    ~ReportServiceFixture() { server.stop(); }

    // Until `count()` reaches `wanted`; a restart waits on a virtual timer, which is run when nothing arrives.
    static bool waitForCount(const std::function<size_t()>& count, size_t wanted) {
        for (int step = 0; step < 40; ++step) {
            if (plat::Virtual::runUntil([&] { return count() >= wanted; }, 1.0))
                return true;
            auto pending = plat::Virtual::pendingTimers();
            if (!pending.empty())
                plat::Virtual::advanceTo(pending.front().deadline);
        }
        return count() >= wanted;
    }
};

} // namespace crashtest
