#pragma once
// The HTTP status server ([Status] in the ini): status, confidence frame,
// metrics, health and the operator's page, on the engine's event loop. It is
// an extra: every failure is logged and the engine runs on without it.
//
// Hostile clients are bounded by these limits:
inline constexpr int kStatusMaxConnections = 32;         // more are closed at once
inline constexpr int kStatusIdleSeconds = 10;            // no byte read or written: closed
inline constexpr long long kStatusMaxRequestBytes = 64 << 10;  // one request with its headers: beyond, closed
inline constexpr long long kStatusMaxUnsentBytes = 32 << 20;   // answers not yet read, all connections: 503 beyond
inline constexpr int kStatusMaxFramesEncoding = 2;       // frames encoded at once: 503 beyond

// Starts listening on [Status] HttpAddress:HttpPort; nothing while HttpPort
// is 0. An address other than loopback needs HttpToken.
void StartStatusServer();
// The port listened on; 0 when the server is not running.
int StatusServerPort();
