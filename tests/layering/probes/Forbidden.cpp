// One include against the layering, chosen by ZK_PROBE_HEADER.
#include ZK_PROBE_HEADER
