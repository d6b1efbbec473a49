#!/usr/bin/python3
"""Converts the face-recognition package's trained weights into ONNX files for OpenCV's dnn module.

    convert_face_models.py <package folder> <output folder>

The package (@vladmandic/face-api, pinned in package.json) ships each network as a TensorFlow.js
weights manifest and a .bin file of its tensors, most of them quantised to 8 bits with a scale and a
minimum each. This script reads the tensors back to float32 and writes, for the three networks the
built-in library uses, a graph that computes exactly what the package's own code computes:

  face_detector.onnx     the Tiny Face Detector (Tiny YOLO v2, separable convolutions), 416 x 416
  face_landmarks.onnx    the 68-point landmark network, 112 x 112
  face_recognition.onnx  the ResNet-34-like recognition network, 150 x 150 -> 128 values

Inputs are N x 3 x H x W, R, G, B less the package's mean, divided by 255 (the library prepares
them, pictavo/biometrics/face_model.cpp). Only the operators OpenCV 4.6's ONNX importer reads are
used: Conv (grouped for depthwise), Relu, LeakyRelu, MaxPool, Pad, Add, GlobalAveragePool,
Flatten and Gemm. TensorFlow's "same" padding is spelt out per layer, as it is asymmetric for
stride 2 on even sizes. The recognition network's scale layers are folded into its convolutions,
and its shortcut (2 x 2 average, channels padded with zeros) is one fixed 2 x 2 convolution.
"""

import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

DETECTOR_SIZE = 416
LANDMARKS_SIZE = 112
RECOGNIZER_SIZE = 150
OPSET = 10


def read_weights(package, name):
    """The tensors of model/<name>: {tensor name: float32 array in TensorFlow's layout}."""
    folder = os.path.join(package, 'model')
    with open(os.path.join(folder, name + '-weights_manifest.json')) as manifest_file:
        manifest = json.load(manifest_file)
    tensors = {}
    for group in manifest:
        data = b''.join(open(os.path.join(folder, path), 'rb').read() for path in group['paths'])
        offset = 0
        for entry in group['weights']:
            shape = entry['shape']
            count = int(np.prod(shape)) if shape else 1
            quantization = entry.get('quantization')
            if quantization:
                stored = np.dtype(quantization['dtype'])
                raw = np.frombuffer(data, dtype=stored, count=count, offset=offset)
                if stored == np.float16:
                    values = raw.astype(np.float32)
                else:
                    values = (raw.astype(np.float32) * np.float32(quantization['scale'])
                              + np.float32(quantization['min']))
            else:
                stored = np.dtype(entry['dtype'])
                values = np.frombuffer(data, dtype=stored, count=count, offset=offset).astype(np.float32)
            offset += count * stored.itemsize
            tensors[entry['name']] = values.reshape(shape)
        if offset != len(data):
            raise ValueError(f'{name}: the manifest describes {offset} bytes, the files hold {len(data)}')
    return tensors


def conv_filters(filters):
    """[height, width, in, out] -> [out, in, height, width]"""
    return filters.transpose(3, 2, 0, 1)


def depthwise_filters(filters):
    """[height, width, channels, 1] -> [channels, 1, height, width]"""
    return filters.transpose(2, 3, 0, 1)


def same_padding(size, kernel, stride):
    """TensorFlow's "same" padding of one axis: (before, after, output size)."""
    out = -(-size // stride)
    total = max((out - 1) * stride + kernel - size, 0)
    return total // 2, total - total // 2, out


class Graph:
    def __init__(self):
        self.nodes, self.initializers, self.count = [], [], 0

    def name(self, hint):
        self.count += 1
        return f'{hint}_{self.count}'

    def constant(self, array, hint):
        name = self.name(hint)
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(array, np.float32), name))
        return name

    def op(self, kind, inputs, **attributes):
        out = self.name(kind.lower())
        self.nodes.append(helper.make_node(kind, inputs, [out], **attributes))
        return out

    def conv(self, x, filters, bias, stride=1, pads=(0, 0, 0, 0), group=1):
        """pads: top, left, bottom, right."""
        top, left, bottom, right = pads
        return self.op('Conv', [x, self.constant(filters, 'w'), self.constant(bias, 'b')],
                       kernel_shape=list(filters.shape[2:]), strides=[stride, stride],
                       pads=[top, left, bottom, right], group=group)

    def save(self, path, name, input_shape, output, output_shape):
        graph = helper.make_graph(
            self.nodes, name,
            [helper.make_tensor_value_info('input', TensorProto.FLOAT, input_shape)],
            [helper.make_tensor_value_info(output, TensorProto.FLOAT, output_shape)],
            self.initializers)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid('', OPSET)],
                                  producer_name='lenvaro convert_face_models.py')
        onnx.checker.check_model(model)
        temporary = path + '.part'
        onnx.save(model, temporary)
        os.replace(temporary, path)


def detector(t, path):
    """Tiny Face Detector: a 3 x 3 convolution, five separable convolutions with 2 x 2 max pools,
    LeakyRelu 0.1 throughout, and a 1 x 1 convolution to 5 boxes x (x, y, w, h, score) a cell."""
    g = Graph()

    def leaky(x):
        return g.op('LeakyRelu', [x], alpha=0.1)

    def pool(x, size, stride):
        before, after, out = same_padding(size, 2, stride)
        return g.op('MaxPool', [x], kernel_shape=[2, 2], strides=[stride, stride],
                    pads=[before, before, after, after]), out

    def separable(x, prefix):
        depthwise = depthwise_filters(t[prefix + '/depthwise_filter'])
        channels = depthwise.shape[0]
        y = g.conv(x, depthwise, np.zeros(channels, np.float32), 1, (1, 1, 1, 1), group=channels)
        return leaky(g.conv(y, conv_filters(t[prefix + '/pointwise_filter']), t[prefix + '/bias']))

    y = leaky(g.conv('input', conv_filters(t['conv0/filters']), t['conv0/bias']))
    y, size = pool(y, DETECTOR_SIZE - 2, 2)
    for layer in range(1, 6):
        y = separable(y, f'conv{layer}')
        y, size = pool(y, size, 2 if layer < 5 else 1)
    y = g.conv(y, conv_filters(t['conv8/filters']), t['conv8/bias'])
    g.save(path, 'face_detector', [1, 3, DETECTOR_SIZE, DETECTOR_SIZE], y, [1, 25, size, size])


def landmarks(t, path):
    """68 landmarks: four dense blocks of separable convolutions, a 7 x 7 average and a fully
    connected layer to x, y of each point, relative to the input square."""
    g = Graph()

    def separable(x, prefix, stride, size):
        depthwise = depthwise_filters(t[prefix + '/depthwise_filter'])
        channels = depthwise.shape[0]
        before, after, out = same_padding(size, 3, stride)
        y = g.conv(x, depthwise, np.zeros(channels, np.float32), stride,
                   (before, before, after, after), group=channels)
        return g.conv(y, conv_filters(t[prefix + '/pointwise_filter']), t[prefix + '/bias']), out

    def dense_block(x, prefix, first, size):
        if first:
            before, after, out = same_padding(size, 3, 2)
            out1 = g.conv(x, conv_filters(t[prefix + '/conv0/filters']), t[prefix + '/conv0/bias'], 2,
                          (before, before, after, after))
        else:
            out1, out = separable(x, prefix + '/conv0', 2, size)
        out1 = g.op('Relu', [out1])
        out2, _ = separable(out1, prefix + '/conv1', 1, out)
        out3, _ = separable(g.op('Relu', [g.op('Add', [out1, out2])]), prefix + '/conv2', 1, out)
        in4 = g.op('Relu', [g.op('Add', [out1, g.op('Add', [out2, out3])])])
        out4, _ = separable(in4, prefix + '/conv3', 1, out)
        total = g.op('Add', [out1, g.op('Add', [out2, g.op('Add', [out3, out4])])])
        return g.op('Relu', [total]), out

    y, size = dense_block('input', 'dense0', True, LANDMARKS_SIZE)
    for block in ('dense1', 'dense2', 'dense3'):
        y, size = dense_block(y, block, False, size)
    y = g.op('Flatten', [g.op('GlobalAveragePool', [y])], axis=1)
    y = g.op('Gemm', [y, g.constant(t['fc/weights'].T, 'fc'), g.constant(t['fc/bias'], 'fc_bias')],
             transB=1)
    g.save(path, 'face_landmarks', [1, 3, LANDMARKS_SIZE, LANDMARKS_SIZE], y, [1, 136])


def recognition(t, path):
    """The recognition network: a 7 x 7 convolution and max pool, then residual blocks of 32, 64,
    128 and 256 channels, a global average and a 256 x 128 matrix."""
    g = Graph()

    def conv_scale(x, prefix, stride, relu, valid):
        scale = t[prefix + '/scale/weights']
        filters = conv_filters(t[prefix + '/conv/filters']) * scale[:, None, None, None]
        bias = t[prefix + '/conv/bias'] * scale + t[prefix + '/scale/biases']
        y = g.conv(x, filters, bias, stride, (0, 0, 0, 0) if valid else (1, 1, 1, 1))
        return g.op('Relu', [y]) if relu else y

    def residual(x, prefix):
        y = conv_scale(x, prefix + '/conv1', 1, True, False)
        y = conv_scale(y, prefix + '/conv2', 1, False, False)
        return g.op('Relu', [g.op('Add', [y, x])])

    def residual_down(x, prefix, channels, size):
        y = conv_scale(x, prefix + '/conv1', 2, True, True)
        y = conv_scale(y, prefix + '/conv2', 1, False, False)
        wider = t[prefix + '/conv1/conv/filters'].shape[3]
        convolved, pooled = (size - 3) // 2 + 1, size // 2
        shortcut = np.zeros((wider, channels, 2, 2), np.float32)
        for channel in range(channels):
            shortcut[channel, channel] = 0.25
        x = g.conv(x, shortcut, np.zeros(wider, np.float32), 2)
        if convolved != pooled:  # the package pads the convolved side with zeros at the end
            grow = pooled - convolved
            y = g.op('Pad', [y], pads=[0, 0, 0, 0, 0, 0, grow, grow], mode='constant', value=0.0)
        return g.op('Relu', [g.op('Add', [x, y])]), pooled

    y = conv_scale('input', 'conv32_down', 2, True, True)
    y = g.op('MaxPool', [y], kernel_shape=[3, 3], strides=[2, 2])
    size = ((RECOGNIZER_SIZE - 7) // 2 + 1 - 3) // 2 + 1
    channels = 32
    for stage, blocks in (('conv32', 3), ('conv64', 3), ('conv128', 2), ('conv256', 2)):
        if stage != 'conv32':
            y, size = residual_down(y, stage + '_down', channels, size)
            channels *= 2
        for block in range(1, blocks + 1):
            y = residual(y, f'{stage}_{block}')
    y, size = residual_down(y, 'conv256_down_out', channels, size)
    y = g.op('Flatten', [g.op('GlobalAveragePool', [y])], axis=1)
    fc = t['fc']
    y = g.op('Gemm', [y, g.constant(fc.T, 'fc'), g.constant(np.zeros(fc.shape[1], np.float32), 'fc_bias')],
             transB=1)
    g.save(path, 'face_recognition', [1, 3, RECOGNIZER_SIZE, RECOGNIZER_SIZE], y, [1, 128])


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.split('\n\n')[1])
    package, output = sys.argv[1], sys.argv[2]
    os.makedirs(output, exist_ok=True)
    detector(read_weights(package, 'tiny_face_detector_model'), os.path.join(output, 'face_detector.onnx'))
    landmarks(read_weights(package, 'face_landmark_68_model'), os.path.join(output, 'face_landmarks.onnx'))
    recognition(read_weights(package, 'face_recognition_model'), os.path.join(output, 'face_recognition.onnx'))
    with open(os.path.join(package, 'package.json')) as package_file:
        description = json.load(package_file)
    with open(os.path.join(output, 'SOURCE'), 'w') as source:
        source.write(f"Converted by convert_face_models.py from {description['name']} {description['version']} "
                     f"({description['license']} licence): tiny_face_detector_model, face_landmark_68_model, "
                     "face_recognition_model.\n")


if __name__ == '__main__':
    main()
