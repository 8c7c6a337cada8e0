/* vantor: CNC access library. Programs reach a CNC's option parameters through these calls; each
 * returns a 16-bit status, 0 on success. Every call is C linkage, so another library with the same
 * interface can replace this one at link or load time.
 *
 * Statuses other than 0 (see docs/featly.md):
 *   VANTOR_ST_PATH (11)      the path does not exist on this CNC
 *   VANTOR_ST_FUNC (1)       the CNC refuses the call (its parameter service is off or faulted)
 *   VANTOR_ST_LENGTH (2)     a length argument that does not fit the call
 *   VANTOR_ST_NUMBER (3)     a node index, node number or parameter number that does not exist
 *   VANTOR_ST_DATA (5)       a value that does not fit the parameter
 *   VANTOR_ST_PROT (7)       the CNC refuses to write parameters
 *   VANTOR_ST_HANDLE (-8)    a handle that is not open
 *   VANTOR_ST_SOCKET (-16)   the driver does not answer, or the CNC's link is down
 *   VANTOR_ST_BUSY (-1)      the CNC did not finish the request in time
 *   VANTOR_ST_RESOURCE (-2)  no handle left
 */
#ifndef VANTOR_VANTOR_H
#define VANTOR_VANTOR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VANTOR_ST_OK 0
#define VANTOR_ST_FUNC 1
#define VANTOR_ST_LENGTH 2
#define VANTOR_ST_NUMBER 3
#define VANTOR_ST_DATA 5
#define VANTOR_ST_PROT 7
#define VANTOR_ST_PATH 11
#define VANTOR_ST_BUSY (-1)
#define VANTOR_ST_RESOURCE (-2)
#define VANTOR_ST_HANDLE (-8)
#define VANTOR_ST_SOCKET (-16)

/* One node record. Callers rely on `node_no` (word 0) and on words 2 and 3: the node can be used
 * only when both are 1. */
typedef struct {
  int32_t node_no;    /* the node number that cnc_allclibhndl2 takes */
  int32_t cnc_type;   /* the CNC type code of the node's configuration */
  int32_t supported;  /* 1: this CNC type offers the parameter calls */
  int32_t present;    /* 1: the node is configured and its link is up */
  int32_t io_base;    /* the board's port base */
  int32_t reserved[4];
  char name[20];      /* the node's name, NUL-terminated */
} VANTOR_NODEINFO;

/* Parameter information: `count` entries of number and type from the first number on. The type's
 * two lowest bits are 0 for a bit parameter (one byte) and 2 for a word parameter (signed 16 bit). */
typedef struct {
  int16_t number;
  int16_t type;
} VANTOR_PARAINFO_ENTRY;

typedef struct {
  int16_t count;
  int16_t first; /* the first number asked for */
  int16_t last;  /* the last number the CNC has */
  VANTOR_PARAINFO_ENTRY entries[101];
} VANTOR_PARAINFO; /* 6 + 101 * 4 = 410 bytes; callers pass 408 bytes for 100 entries */

/* Parameter record of cnc_rdparam and cnc_wrparam: number, axis (0), then the value: its first
 * byte for a bit parameter, a 16-bit value for a word parameter. */
typedef struct {
  int16_t number;
  int16_t axis;
  union {
    uint8_t bit;
    int16_t word;
    uint8_t raw[32];
  } value;
} VANTOR_PARAM; /* 36 bytes */

#define VANTOR_BIT_TYPE(t) (((t) & 3) == 0)

/* Number of node records (configured nodes). */
int16_t cnc_rdnodenum(int32_t* count);
/* Record of the node at `index` (0 to count - 1). */
int16_t cnc_rdnodeinfo(int32_t index, VANTOR_NODEINFO* info);
/* Opens a handle on node `node_no`. */
int16_t cnc_allclibhndl2(int32_t node_no, uint16_t* handle);
/* The CNC's current path and its number of paths. */
int16_t cnc_getpath(uint16_t handle, int16_t* path_no, int16_t* max_path);
/* Makes `path_no` (1 to 5) the current path; VANTOR_ST_PATH when it does not exist. */
int16_t cnc_setpath(uint16_t handle, int16_t path_no);
/* Parameter information of at most `count` parameters from `first` on, into `out`, which holds
 * 6 + 4 * count bytes at least. */
int16_t cnc_rdparainfo(uint16_t handle, int16_t first, uint16_t count, void* out);
/* Reads parameter `number` into `out` (a VANTOR_PARAM; `length` is 8 for a parameter without axes
 * and must leave room for the value). */
int16_t cnc_rdparam(uint16_t handle, int16_t number, int16_t axis, int16_t length, void* out);
/* Writes the record `in` of `length` bytes: number, 0, then the value (5 bytes for a bit
 * parameter, 6 for a word parameter). */
int16_t cnc_wrparam(uint16_t handle, int16_t length, const void* in);
/* Closes a handle. */
int16_t cnc_freelibhndl(uint16_t handle);

#ifdef __cplusplus
}
#endif

#endif
