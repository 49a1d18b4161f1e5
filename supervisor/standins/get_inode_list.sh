#!/bin/bash
# Stand-in for the board's "/usr/sbin/get_inode_list.sh", run when the RAM disk has no inodes left:
# records each call as one line in $STANDIN_DIR/get_inode_list.calls (default /tmp/standins).
dir=${STANDIN_DIR:-/tmp/standins}
mkdir -p "$dir"
echo "called" >>"$dir/get_inode_list.calls"
