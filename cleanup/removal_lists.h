// The two removal lists of the staged cleanup (tables in removal_tables.h), each carried out
// from start to end as one step. Nothing is reported: missing paths, failed commands and failed
// unlinks are passed over and the list goes on. Neither list logs nor measures free space.
#ifndef QX_CLEANUP_REMOVAL_LISTS_H_
#define QX_CLEANUP_REMOVAL_LISTS_H_

namespace qx::upgrader::cleanup {

// Stage 2 (kStage2StaticFiles) without its opening line: documentation, firmware images, web pages,
// programs and the upgrade members left in /tmp.
void ClearStaticFiles();

// Stage 5 (kStage5ExtraFiles) without its opening line: glib data, a few programs, and older copies
// of libraries and programs whose newer copy is present (the net-snmp tiers among them), and the
// old pppd plug-ins.
void ClearExtraFiles();

}  // namespace qx::upgrader::cleanup

#endif  // QX_CLEANUP_REMOVAL_LISTS_H_
