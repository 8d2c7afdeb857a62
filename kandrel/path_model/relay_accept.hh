// The path model's accepted connections: a connection the program accepted
// from a routed peer is handed to the path relay, and the program's
// descriptor is given a loopback connection to the relay in its place, so
// that both directions are held back as a connect's are and no send blocks.
#pragma once

// Hands the connection accepted as s to the relay when its peer is routed;
// false (s left as it was) when it is not, or when the relay cannot take it.
// errno is kept.
bool relay_accepted(int s);
