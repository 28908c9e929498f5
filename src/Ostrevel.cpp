// Ostrevel.cpp - the plug-in's only export: publish the node operations, log the loading,
// create the factory "OstrevelFactory" and define the node class "OstrevelNode" on it.
//
// The function table is the library's only process-wide state. Loading the library runs no
// code of its own; everything happens when the broker calls the export.
#include "Ostrevel.h"

#include "BrokerLog.h"
#include "Evaluation.h"
#include "NodeContext.h"
#include "WideText.h"

namespace ostrevel {
namespace {

// The source module named in log entries.
constexpr const char* MODULE_NAME = sourceBaseName(__FILE__);

// The version mark, kept in the file though nothing reads it at run time.
[[gnu::used]] constexpr char VERSION_MARK[] = "@(#)ostrevel " OSTREVEL_VERSION;
static_assert(sizeof VERSION_MARK > sizeof VERSION_MARK_PREFIX, "the mark holds a version");

// The library's one process-wide variable: the broker keeps its address for the class.
NodeFunctionTable functionTable;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

}  // namespace

const NodeFunctionTable& nodeFunctionTable() {
    return functionTable;
}

}  // namespace ostrevel

// Returns the new factory, or null when the broker could not create one. An exception
// pending in the broker after a failed factory creation is handed back to it.
extern "C" PLUGIN_EXPORT BrokerFactory* bipGetMessageflowNodeFactory(void) {
    using namespace ostrevel;
    int rc = RC_SUCCESS;
    char16_t factoryName[sizeof FACTORY_NAME / sizeof FACTORY_NAME[0]];
    wideCopy(factoryName, sizeof factoryName / sizeof factoryName[0], FACTORY_NAME);

    functionTable = NodeFunctionTable{};
    functionTable.createContext = createContext;
    functionTable.attributeNameAt = attributeNameAt;
    functionTable.setAttribute = setAttribute;
    functionTable.getAttribute = getAttribute;
    functionTable.evaluate = evaluate;

    writeLogEntry(&rc, LOG_INFORMATION, MODULE_NAME, __LINE__, LOG_FUNCTION_EXPORT,
                  LOG_NUMBER_LOADING, LOG_TEXT_LOADING);

    BrokerFactory* factory = cniCreateNodeFactory(&rc, factoryName);
    if (factory == nullptr) {
        if (rc == RC_EXCEPTION) {
            ExceptionData exceptionData{};  // filled by the broker, never read
            cciGetLastExceptionData(&rc, &exceptionData);
            cciRethrowLastException(&rc);
        }
        return nullptr;
    }
    // A failing class definition is not noticed: the factory is returned all the same.
    cniDefineNodeClass(&rc, factory, NODE_CLASS_NAME, &functionTable);
    return factory;
}
