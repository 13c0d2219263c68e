#include "redis/detail/adapter.hpp"

#include <memory>

#include <boost/asio/posix/stream_descriptor.hpp>

namespace redis::detail {

namespace asio = boost::asio;

namespace {

// hiredis's event-loop hooks, implemented on an Asio descriptor. The socket
// belongs to hiredis: we watch it and release it, never close it. Pending
// waits hold a reference, so the adapter outlives the context's cleanup.
class adapter : public std::enable_shared_from_this<adapter> {
public:
    adapter(asio::any_io_executor ex, redisAsyncContext* ac) : m_ac(ac), m_sd(ex, ac->c.fd) {}

    static void attach(asio::any_io_executor ex, redisAsyncContext* ac) {
        auto a = std::make_shared<adapter>(ex, ac);
        a->m_self = a;
        ac->ev.data = a.get();
        ac->ev.addRead = [](void* p) { static_cast<adapter*>(p)->set_reading(true); };
        ac->ev.delRead = [](void* p) { static_cast<adapter*>(p)->set_reading(false); };
        ac->ev.addWrite = [](void* p) { static_cast<adapter*>(p)->set_writing(true); };
        ac->ev.delWrite = [](void* p) { static_cast<adapter*>(p)->set_writing(false); };
        ac->ev.cleanup = [](void* p) { static_cast<adapter*>(p)->cleanup(); };
    }

private:
    void set_reading(bool on) {
        m_reading = on;
        arm_read();
    }
    void set_writing(bool on) {
        m_writing = on;
        arm_write();
    }

    void arm_read() {
        if (m_read_armed || !m_reading || m_ac == nullptr) return;
        m_read_armed = true;
        m_sd.async_wait(asio::posix::stream_descriptor::wait_read, [self = shared_from_this()](boost::system::error_code ec) {
            self->m_read_armed = false;
            if (ec || self->m_ac == nullptr || !self->m_reading) return;
            redisAsyncHandleRead(self->m_ac);  // may free the context, which clears m_ac
            self->arm_read();
        });
    }

    void arm_write() {
        if (m_write_armed || !m_writing || m_ac == nullptr) return;
        m_write_armed = true;
        m_sd.async_wait(asio::posix::stream_descriptor::wait_write, [self = shared_from_this()](boost::system::error_code ec) {
            self->m_write_armed = false;
            if (ec || self->m_ac == nullptr || !self->m_writing) return;
            redisAsyncHandleWrite(self->m_ac);
            self->arm_write();
        });
    }

    void cleanup() {
        m_ac = nullptr;
        m_reading = m_writing = false;
        boost::system::error_code ignored;
        m_sd.cancel(ignored);
        if (m_sd.is_open()) m_sd.release();
        auto keep = std::move(m_self);  // the last reference may go with this scope
    }

    redisAsyncContext* m_ac;
    asio::posix::stream_descriptor m_sd;
    std::shared_ptr<adapter> m_self;
    bool m_reading = false, m_writing = false, m_read_armed = false, m_write_armed = false;
};

}  // namespace

void attach_adapter(asio::any_io_executor ex, redisAsyncContext* ac) { adapter::attach(ex, ac); }

}  // namespace redis::detail
