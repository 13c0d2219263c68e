#include "redis/detail/reply.hpp"

#include <memory>

namespace redis::detail {

reply convert(const redisReply* r) {
    reply out;
    switch (r->type) {
        case REDIS_REPLY_STRING: out.type = reply::kind::string; out.str.assign(r->str, r->len); break;
        case REDIS_REPLY_STATUS: out.type = reply::kind::status; out.str.assign(r->str, r->len); break;
        case REDIS_REPLY_INTEGER: out.type = reply::kind::integer; out.integer = r->integer; break;
        case REDIS_REPLY_ARRAY:
            out.type = reply::kind::array;
            out.elements.reserve(r->elements);
            for (std::size_t i = 0; i < r->elements; ++i) out.elements.push_back(convert(r->element[i]));
            break;
        default: out.type = reply::kind::nil; break;
    }
    return out;
}

void on_reply(redisAsyncContext* c, void* r, void* privdata) {
    std::unique_ptr<std::shared_ptr<pending>> holder(static_cast<std::shared_ptr<pending>*>(privdata));
    auto& p = **holder;
    if (p.done) return;
    p.done = true;
    auto* rr = static_cast<redisReply*>(r);
    if (rr == nullptr) {
        p.error = (c->err != 0 && c->errstr[0] != '\0') ? c->errstr : "Connection closed";
    } else if (rr->type == REDIS_REPLY_ERROR) {
        p.error.assign(rr->str, rr->len);
    } else {
        p.result = convert(rr);
    }
    p.timer.cancel();
}

}  // namespace redis::detail
