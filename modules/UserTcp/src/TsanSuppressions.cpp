// ThreadSanitizer settings for programs that use the NDK toolkit.
//
// POCO is not built with ThreadSanitizer, so the atomic reference counts of
// its socket objects are invisible to it. The TCPServer acceptor thread runs
// only POCO code and often drops the last reference to an accepted socket
// after its connection has ended; the free then looks unordered with earlier
// uses of that socket by our threads although the reference count orders
// them. Races reported on the acceptor thread are therefore not ours.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:Poco::Net::TCPServer::run\n";
}
#endif
