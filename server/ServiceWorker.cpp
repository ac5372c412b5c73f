#include "ServiceWorker.h"

#include "KeyVault.h"
#include "Store.h"

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
                m_service.reset();
                m_store.reset();
                m_db.reset();
                delete m_context;
                KeyVault::releaseThreadState();
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
            m_db = std::make_unique<Database>();
            if (!m_db->open(m_config, error)) {
                m_db.reset();
                return;
            }
            m_store = std::make_unique<Store>(*m_db);
            m_service = std::make_unique<Service>(*m_store, m_vault, m_hasher, m_clock, m_options);
            ok = true;
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
