'use strict';
// require('vorn'): automation objects of the vorn platform.
//
//   const { ActiveXObject, connect, release } = require('vorn');
//   const c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');
//
// The native part lives in vorn.node beside this file; the component runtime
// it links (libvornrt.so) is found through the addon's run path.

const native = require('./vorn.node');

const { ActiveXObject, release } = native;

Object.defineProperty(ActiveXObject.prototype, Symbol.toStringTag, {
  value: 'ActiveXObject',
  configurable: true,
});

// A name an object's own members (those its type information lists) and
// Object.prototype do not have is asked of the object itself when it is
// read: a member it knows by name becomes an own method of the object. Own
// members are found before the prototype chain is looked at, so they cost
// nothing extra.
Object.setPrototypeOf(ActiveXObject.prototype, new Proxy(Object.prototype, {
  get(target, key, receiver) {
    if (typeof key !== 'string' || key in target) return Reflect.get(target, key, receiver);
    return native.memberByName(receiver, key);
  },
}));

// Routes the events of `object` to the methods of `handlers` named after them
// and returns a function that ends the connection.
function connect(object, handlers) {
  const id = native.connect(object, handlers);
  let connected = true;
  return function disconnect() {
    if (!connected) return;
    connected = false;
    native.disconnect(id);
  };
}

// Objects still held at exit are released before the process ends.
process.on('exit', native.releaseAll);

module.exports = { ActiveXObject, connect, release };
