#include "kit_host/VZRDAVApp.hpp"

#include "kit_host/Zuvadu.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"

bool VZRDAVApp::isDataCollectionDefaultEnabled() {
    namespace rt = plat::rt;
    static rt::Class* const davApp = rt::getClass("DAVApp");
    if (!davApp || !rt::respondsTo(*davApp, rt::sel("defaultApp")))
        return true;
    const rt::ObjectPtr app = rt::msgSend<rt::ObjectPtr>(*davApp, rt::sel("defaultApp"));
    if (!app)
        return true;
    if (rt::respondsTo(app, rt::sel("isDataCollectionDefaultEnabled")))
        return rt::msgSend<bool>(app, rt::sel("isDataCollectionDefaultEnabled"));
    if (Zuvadu::sharedSDK().debug())
        plat::NSLogText("[Zuvadu] [Vuzidorazav] This version of DAVApp does not support "
                        "isDataCollectionDefaultEnabled. Ignoring.");
    return true;
}
