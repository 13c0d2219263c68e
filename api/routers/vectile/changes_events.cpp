#include "routers/vectile/changes_events.hpp"

#include <deque>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

#include "routers/vectile/service.hpp"

namespace vectile {

namespace asio = boost::asio;

struct change_hub::subscriber final : common::event_source {
    subscriber(asio::any_io_executor ex, std::chrono::milliseconds heartbeat) : wake(ex), heartbeat(heartbeat) {}

    asio::awaitable<std::optional<std::string>> next() override {
        if (!greeted) {
            greeted = true;
            co_return std::string("retry: 2000\n: gisd changes\n\n");
        }
        if (waiting.empty()) {
            wake.expires_after(heartbeat);
            co_await wake.async_wait(asio::as_tuple(asio::use_awaitable));
        }
        if (waiting.empty()) co_return std::string(": heartbeat\n\n");
        std::string piece = std::move(waiting.front());
        waiting.pop_front();
        co_return piece;
    }

    asio::steady_timer wake;
    std::chrono::milliseconds heartbeat;
    std::deque<std::string> waiting;
    bool greeted = false;
};

void change_hub::publish(const std::string& event_json) {
    std::string id;
    try {
        const auto doc = nlohmann::json::parse(event_json);
        if (doc.contains("id") && doc["id"].is_number_integer()) id = std::to_string(doc["id"].get<long long>());
    } catch (const nlohmann::json::exception&) {
        return;
    }
    std::string piece = (id.empty() ? std::string() : "id: " + id + "\n") + "event: change\ndata: " + event_json + "\n\n";
    for (auto it = m_subscribers.begin(); it != m_subscribers.end();) {
        auto sub = it->lock();
        if (!sub) {
            it = m_subscribers.erase(it);
            continue;
        }
        if (sub->waiting.size() >= backlog) {
            sub->waiting.clear();
            sub->waiting.emplace_back("event: reset\ndata: {}\n\n");
        } else {
            sub->waiting.push_back(piece);
        }
        sub->wake.cancel();
        ++it;
    }
}

std::shared_ptr<common::event_source> change_hub::subscribe() {
    auto sub = std::make_shared<subscriber>(m_executor, m_heartbeat);
    m_subscribers.push_back(sub);
    return sub;
}

std::size_t change_hub::clients() {
    std::erase_if(m_subscribers, [](const std::weak_ptr<subscriber>& s) { return s.expired(); });
    return m_subscribers.size();
}

void register_changes_route(service& svc, std::shared_ptr<change_hub> hub) {
    svc.router.add_api_route(common::route{
        .method = common::verb::get,
        .path = "/changes",
        .name = "get_changes",
        .description = "Server-Sent Events: each change of the cadastre once its tiles are purged (id, layer, bbox in degrees).",
        .handler = [hub](common::request_context&) -> asio::awaitable<common::response> {
            common::response r = common::response::raw(std::string(), "text/event-stream",
                                                       {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}});
            r.events = hub->subscribe();
            co_return r;
        },
    });
}

}  // namespace vectile
