#pragma once

#include <QString>
#include <QThread>
#include <memory>

#include "Database.h"
#include "Service.h"

class Clock;
class KeyVault;
class PasswordHasher;
class Store;

// One thread's database connection, the store on it and the rules on that:
// made, used and destroyed on that thread only, as a Qt SQL connection
// belongs to the thread that opened it.
class ServiceStack
{
public:
    // Null (with *error) when the database does not open.
    static std::unique_ptr<ServiceStack> open(const DbConfig& config, const KeyVault& vault,
                                              const PasswordHasher& hasher, const Clock& clock,
                                              ServiceOptions options, QString* error);
    // Also gives back what this thread holds of the crypto library.
    ~ServiceStack();
    ServiceStack(const ServiceStack&) = delete;
    ServiceStack& operator=(const ServiceStack&) = delete;

    Service& service() { return *m_service; }

private:
    ServiceStack() = default;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<Service> m_service;
};

// A thread of its own with its own database connection and its own copy of
// the rules, so that requests need not queue behind one thread. The rules
// keep nothing in memory between requests, so any number of these (and of
// other instances) can serve the same database side by side.
class ServiceWorker
{
public:
    ServiceWorker(DbConfig config, const KeyVault& vault, const PasswordHasher& hasher,
                  const Clock& clock, ServiceOptions options);
    ~ServiceWorker();
    ServiceWorker(const ServiceWorker&) = delete;
    ServiceWorker& operator=(const ServiceWorker&) = delete;

    // Opens the connection on the worker's thread; false (with *error) if it fails.
    bool start(QString* error);
    // Runs everything queued for context() so far, then returns.
    void drain();

    // Lives on the worker's thread: work queued to it runs there.
    QObject* context() const { return m_context; }
    // Only to be used on the worker's thread.
    Service& service() { return m_stack->service(); }

private:
    DbConfig m_config;
    const KeyVault& m_vault;
    const PasswordHasher& m_hasher;
    const Clock& m_clock;
    ServiceOptions m_options;
    QThread m_thread;
    QObject* m_context = nullptr;           // deleted on its own thread
    std::unique_ptr<ServiceStack> m_stack;  // the worker's thread only
};
