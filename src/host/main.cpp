// Process entry: sets up the character set and scratch directory, makes the command service,
// runs the endpoint on the service thread, and shuts down on SIGINT or SIGTERM.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <thread>

#include "capture/pictavo.h"
#include "host/service_thread.h"
#include "platform/code_page.h"
#include "platform/paths.h"
#include "service/command_service.h"
#include "service/dispatch.h"
#include "service/ws_server.h"

using namespace lenvaro;

int main() {
    setInternalCodePage(localeCodePage());

    // Quit signals are taken by the main thread alone (sigtimedwait below); every thread made
    // from here on inherits the mask.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<ScratchDirectory> scratch;
    try {
        scratch = std::make_unique<ScratchDirectory>();
    } catch (const std::exception& error) {
        std::cerr << "lenvaro-server: " << error.what() << std::endl;
        return 1;
    }

    std::unique_ptr<CommandService> service;
    WsServer server({
        [&service](std::string text) { handleRequest(*service, std::move(text)); },
        [&service] { service->pushSuspended = false; },
        [&service] { service->pushSuspended = true; },
        [](const std::string& address, uint16_t port) {
            std::cout << "Lenvaro Server listening on " << address << ":" << port << std::endl;
        },
    });
    service = std::make_unique<CommandService>(
        scratch->path(), [&server](std::string text) { server.sendText(std::move(text)); },
        [&server] { return server.queuedBytes(); });

    std::atomic<bool> serviceEnded{false};
    bool serviceStarted = false;
    std::thread serviceThread([&] {
        serviceStarted = serviceThreadMain(server, moduleDirectory());
        serviceEnded = true;
    });

    bool quitRequested = false;
    while (!serviceEnded) {
        const timespec interval{0, 100 * 1000 * 1000};
        const int signal = sigtimedwait(&quitSignals, nullptr, &interval);
        if (signal == SIGINT || signal == SIGTERM) {
            quitRequested = true;
            server.stop();
            break;
        }
    }
    serviceThread.join();

    if (quitRequested) {
        // Leave the cameras and the library as a clean quit does.
        camCloseDev(0);
        camCloseDev(1);
        camUnInitCameraLib();
        return 0;
    }
    return serviceStarted ? 0 : 1;
}
