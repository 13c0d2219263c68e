#pragma once
// GET /gis/changes: each purged change as a Server-Sent Event, so that open
// viewers reload the tiles inside its box. Every worker relays the consumer's
// announcements (changes_consumer::on_purged) to its own clients.

#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/any_io_executor.hpp>

#include "common/response.hpp"

namespace vectile {

class service;

class change_hub {
public:
    // A client with more events waiting than this is told to reload everything instead.
    static constexpr std::size_t backlog = 1000;

    explicit change_hub(boost::asio::any_io_executor executor, std::chrono::milliseconds heartbeat = std::chrono::seconds(15))
        : m_executor(std::move(executor)), m_heartbeat(heartbeat) {}

    // One event (change_event_json) to every connected client.
    void publish(const std::string& event_json);

    // A new client's stream: a retry hint first, then the events, with a
    // comment line every `heartbeat` while there are none.
    std::shared_ptr<common::event_source> subscribe();

    std::size_t clients();

    struct subscriber;

private:
    boost::asio::any_io_executor m_executor;
    std::chrono::milliseconds m_heartbeat;
    std::list<std::weak_ptr<subscriber>> m_subscribers;
};

// Registers GET /changes on the service's router.
void register_changes_route(service& svc, std::shared_ptr<change_hub> hub);

}  // namespace vectile
