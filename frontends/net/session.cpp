// SPDX-License-Identifier: MIT
// The answer queue, the idle rule and the connection caps every front end
// keeps.
#include "frontends/net/session.h"

#include <fmt/format.h>

namespace vontrel::net {

bool AnswerQueue::Add(std::string answer)
{
    if (!answer.empty()) {
        bytes_ += answer.size();
        answers_.push_back({std::move(answer), std::chrono::steady_clock::now()});
    }
    return !OverLimit();
}

std::size_t AnswerQueue::DropUnread(bool keep_begun)
{
    const std::size_t keep = keep_begun && !answers_.empty() && taken_ > 0 ? 1 : 0;
    const std::size_t dropped = answers_.size() - keep;
    while (answers_.size() > keep) {
        bytes_ -= answers_.back().text.size() - (answers_.size() == 1 ? taken_ : 0);
        answers_.pop_back();
    }
    if (answers_.empty()) {
        taken_ = 0;
    }
    return dropped;
}

std::string_view AnswerQueue::Front() const
{
    return std::string_view(answers_.front().text).substr(taken_);
}

bool AnswerQueue::Take(std::size_t n)
{
    taken_ += n;
    bytes_ -= n;
    if (taken_ < answers_.front().text.size()) {
        return false;
    }
    answers_.pop_front();
    taken_ = 0;
    return true;
}

void AnswerQueue::Clear()
{
    answers_.clear();
    taken_ = 0;
    bytes_ = 0;
}

bool IdleExpired(std::chrono::steady_clock::time_point last_input, int idle_timeout_s, bool busy)
{
    return idle_timeout_s > 0 && !busy &&
           std::chrono::steady_clock::now() - last_input >= std::chrono::seconds(idle_timeout_s);
}

ConnectionGate::ConnectionGate(std::size_t per_server, std::size_t per_key, std::string what)
    : per_server_(per_server), per_key_(per_key), what_(std::move(what))
{
}

ConnectionGate::Ticket &ConnectionGate::Ticket::operator=(Ticket &&other) noexcept
{
    if (this != &other) {
        Release();
        gate_ = std::exchange(other.gate_, nullptr);
        key_ = std::move(other.key_);
    }
    return *this;
}

void ConnectionGate::Ticket::Release()
{
    if (gate_ == nullptr) {
        return;
    }
    const std::lock_guard<std::mutex> lock(gate_->mutex_);
    --gate_->total_;
    if (const auto it = gate_->counts_.find(key_);
        it != gate_->counts_.end() && --it->second == 0) {
        gate_->counts_.erase(it);
    }
    gate_ = nullptr;
}

std::optional<ConnectionGate::Ticket> ConnectionGate::Admit(const std::string &key,
                                                            std::string &refusal)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (total_ >= per_server_) {
        refusal = fmt::format("refused: the server already serves {} {}", per_server_, what_);
        return std::nullopt;
    }
    std::size_t &count = counts_[key];
    if (count >= per_key_) {
        refusal = fmt::format("refused: {} already has {} {}", key, per_key_, what_);
        return std::nullopt;
    }
    ++count;
    ++total_;
    return Ticket(this, key);
}

bool ConnectionGate::Full(const std::string &key)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = counts_.find(key);
    return total_ >= per_server_ || (it != counts_.end() && it->second >= per_key_);
}

}  // namespace vontrel::net
