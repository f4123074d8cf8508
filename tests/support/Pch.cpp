// The source of the shared precompiled headers of the test programs: the
// headers themselves come from the build (see zk_pch_headers).
