#include "ServiceWorker.h"

#include "KeyVault.h"
#include "Store.h"

std::unique_ptr<ServiceStack> ServiceStack::open(const DbConfig& config, const KeyVault& vault,
                                                 const PasswordHasher& hasher, const Clock& clock,
                                                 ServiceOptions options, QString* error)
{
    std::unique_ptr<ServiceStack> stack(new ServiceStack);
    stack->m_db = std::make_unique<Database>();
    if (!stack->m_db->open(config, error)) {
        return nullptr;
    }
    stack->m_store = std::make_unique<Store>(*stack->m_db);
    stack->m_service = std::make_unique<Service>(*stack->m_store, vault, hasher, clock, options);
    return stack;
}

ServiceStack::~ServiceStack()
{
    m_service.reset();
    m_store.reset();
    m_db.reset();
    KeyVault::releaseThreadState();
}

ServiceWorker::ServiceWorker(DbConfig config, const KeyVault& vault, const PasswordHasher& hasher,
                             const Clock& clock, ServiceOptions options)
    : m_config(std::move(config)),
      m_vault(vault),
      m_hasher(hasher),
      m_clock(clock),
      m_options(options)
{}

ServiceWorker::~ServiceWorker()
{
    if (m_context) {
        // A Qt SQL connection must be closed on the thread that opened it.
        QMetaObject::invokeMethod(
            m_context,
            [this] {
                delete m_context;
                m_stack.reset();
            },
            Qt::BlockingQueuedConnection);
    }
    m_thread.quit();
    m_thread.wait();
}

bool ServiceWorker::start(QString* error)
{
    m_thread.start();
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    bool ok = false;
    QMetaObject::invokeMethod(
        m_context,
        [this, &ok, error] {
            m_stack = ServiceStack::open(m_config, m_vault, m_hasher, m_clock, m_options, error);
            ok = m_stack != nullptr;
        },
        Qt::BlockingQueuedConnection);
    return ok;
}

void ServiceWorker::drain()
{
    if (m_context) {
        QMetaObject::invokeMethod(
            m_context, [] {}, Qt::BlockingQueuedConnection);
    }
}
