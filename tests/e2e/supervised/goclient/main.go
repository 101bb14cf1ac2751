// A Go client for the supervised end-to-end tests: the Go runtime makes its
// own system calls, whether built with cgo or without. Each argument pair
// prints one line: "tcp ok" or "tcp errno=N".
//
//	goclient tcp IP:PORT udp IP:PORT ...
package main

import (
	"errors"
	"fmt"
	"net"
	"os"
	"syscall"
	"time"
)

func outcome(name string, err error) string {
	if err == nil {
		return name + " ok"
	}
	var errno syscall.Errno
	if errors.As(err, &errno) {
		return fmt.Sprintf("%s errno=%d", name, int(errno))
	}
	return name + " error=" + err.Error()
}

func main() {
	args := os.Args[1:]
	for len(args) >= 2 {
		kind, target := args[0], args[1]
		args = args[2:]
		switch kind {
		case "tcp":
			c, err := net.DialTimeout("tcp", target, 20*time.Second)
			if err == nil {
				c.Close()
			}
			fmt.Println(outcome("tcp", err))
		case "udp":
			a, err := net.ResolveUDPAddr("udp", target)
			if err == nil {
				var c *net.UDPConn
				c, err = net.ListenUDP("udp", nil)
				if err == nil {
					_, err = c.WriteToUDP([]byte("go"), a)
					c.Close()
				}
			}
			fmt.Println(outcome("udp", err))
		default:
			fmt.Fprintln(os.Stderr, "goclient: bad command", kind)
			os.Exit(2)
		}
	}
}
