#include "engine/session.h"

#include "crypto/secure_zero.h"
#include "engine/gmp_memory.h"
#include "engine/secret_text.h"
#include "engine/rsa_identity.h"

namespace kestrel {

SessionState::SessionState(std::unique_ptr<Transport> plain, uint32_t preference,
                           SessionHost& inputs)
    : plainTransport(std::move(plain)), cipherPreference(preference), host(inputs) {
    // Before the worker starts, so GMP's functions never change under it.
    useWipingGmpMemory();
}

SessionState::~SessionState() {
    cipherClear(contexts.receive);
    cipherClear(contexts.send);
    poolWipe(pool);
    secureZero(sessionId, sizeof sessionId);
    if (!pendingInput.empty())
        secureZero(pendingInput.data(), pendingInput.size());
}

int sendPacket(SessionState& state, Transport& transport, PacketBuffer& buffer) {
    std::lock_guard<std::mutex> hold(state.sendLock);
    return transport.writePacket(buffer);
}

void interruptSession(SessionState& state) {
    if (state.plainTransport)
        state.plainTransport->stream().shutdownBoth();
}

bool destroySession(SessionState* state) {
    if (state == nullptr)
        return true;
    if (state->workerRunning.load())
        return false;
    // Both transports hold the same handle; only the plain one closes it.
    if (state->plainTransport) {
        state->plainTransport->stream().close();
        state->plainTransport.reset();
    }
    state->cipherTransport.reset();
    delete state;
    return true;
}

} // namespace kestrel

namespace kestrel {

std::vector<RsaIdentity*> FixedSessionHost::identities() {
    std::vector<RsaIdentity*> list;
    for (auto& identity : identities_)
        list.push_back(identity.get());
    return list;
}

void FixedSessionHost::addIdentity(std::unique_ptr<RsaIdentity> identity) {
    identities_.push_back(std::move(identity));
}

FixedSessionHost::~FixedSessionHost() { wipeString(password_); }

} // namespace kestrel
